// Code signature checks of the downloaded image and of the application copied out of it,
// through the system's own codesign tool: it knows every signature format, nested code,
// Apple's anchors and revocation, which a check of our own would not.
#include "setup/code_signature.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/process.h"

#ifndef CORVANE_TEAM_ID
#error "CORVANE_TEAM_ID must be set by the build"
#endif
#if defined(__APPLE__) && defined(NDEBUG)
// Also for generators where CMake cannot see the configuration: a release build that trusts
// nobody would refuse every install.
static_assert(sizeof(CORVANE_TEAM_ID) > 1, "a macOS release build needs CORVANE_TEAM_ID");
#endif

namespace corvane {
namespace {

using platform::logLine;

// The lines of codesign's merged output, without line ends.
std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        out.push_back(line);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return out;
}

// Why a run went wrong, in the tool's own words when it gave any.
std::string failureOf(const platform::ProcessResult& r, std::chrono::milliseconds timeout) {
    if (!r.started) {
        return "codesign could not be started: " + r.startError;
    }
    if (r.timedOut) {
        return "codesign did not finish within " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
               " s";
    }
    for (const auto line : linesOf(r.output)) {
        if (!line.empty()) {
            return std::string(line);
        }
    }
    return "codesign exit status " + std::to_string(r.exitStatus);
}

// The same check for the app copied out of the image and for the image itself; only the log
// line's words differ.
struct Subject {
    const char* name;  // "the new application", "the downloaded image"
    const char* capitalised;
};

CodeSignature check(const std::string& path, std::string_view teamId,
                    std::chrono::milliseconds timeout, const Subject& subject) {
    const std::string requirement = releaseRequirement(teamId);
    if (requirement.empty()) {
        logLine(std::string("No usable team identifier is built in (\"") + std::string(teamId) +
                "\"), so " + subject.name + " cannot be trusted: " + path);
        return CodeSignature::unchecked;
    }
    const std::string codesign = platform::macPath("/usr/bin/codesign");
    platform::ProcessOptions options;
    options.output = platform::ProcessOptions::Output::Merged;
    options.timeout = timeout;

    // "=" makes the argument the requirement's text (without it codesign reads a file by that
    // name).
    const auto verified = platform::runProcess(
        codesign, {"--verify", "--deep", "--strict", "-R=" + requirement, path}, options);
    if (verified.succeeded()) {
        return CodeSignature::trusted;
    }
    const bool ran = verified.started && !verified.timedOut;
    constexpr int kRequirementFailed = 3;  // codesign's status for a valid but unmet signature
    if (ran && verified.exitStatus == kRequirementFailed) {
        // Only the team that the signature names helps the reader of the log; it is no proof.
        const auto described = platform::runProcess(codesign, {"-dv", path}, options);
        constexpr std::string_view kKey = "TeamIdentifier=";
        std::string team = "unknown";
        if (described.succeeded()) {
            for (const auto line : linesOf(described.output)) {
                if (line.starts_with(kKey)) {
                    team = std::string(line.substr(kKey.size()));
                }
            }
        }
        logLine(std::string(subject.capitalised) +
                " is not signed with a Developer ID certificate that Apple issued to team \"" +
                std::string(teamId) + "\" (its signature names team \"" + team + "\"): " + path);
        return CodeSignature::requirementUnmet;
    }
    if (ran && verified.exitStatus == 1) {
        logLine(std::string("Signature of ") + subject.name +
                " is not valid: " + failureOf(verified, timeout));
        return CodeSignature::invalid;
    }
    logLine(std::string("Signature of ") + subject.name +
            " could not be checked: " + failureOf(verified, timeout));
    return CodeSignature::unchecked;
}

}  // namespace

std::string releaseRequirement(std::string_view teamId) {
    const bool usable = !teamId.empty() && std::all_of(teamId.begin(), teamId.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
    if (!usable) {
        return {};
    }
    // Developer ID only: an Apple Development or Distribution certificate of the same team is
    // issued to any of its members and never meant for what ships outside the App Store.
    return "anchor apple generic"
           " and certificate 1[field.1.2.840.113635.100.6.2.6] exists"
           " and certificate leaf[field.1.2.840.113635.100.6.1.13] exists"
           " and certificate leaf[subject.OU] = \"" +
           std::string(teamId) + "\"";
}

std::string_view expectedTeamId() {
    return CORVANE_TEAM_ID;
}

CodeSignature checkCodeSignature(const std::string& appPath, std::string_view teamId,
                                 std::chrono::milliseconds timeout) {
    return check(appPath, teamId, timeout, {"the new application", "The new application"});
}

CodeSignature checkImageSignature(const std::string& imagePath, std::string_view teamId,
                                  std::chrono::milliseconds timeout) {
    return check(imagePath, teamId, timeout, {"the downloaded image", "The downloaded image"});
}

}  // namespace corvane
