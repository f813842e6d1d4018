// Code signature check of the application copied out of the image, through the system's own
// codesign tool: it knows every signature format, nested code and revocation, which a check of
// our own would not.
#include "setup/code_signature.h"

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

}  // namespace

std::string_view expectedTeamId() {
    return CORVANE_TEAM_ID;
}

CodeSignature checkCodeSignature(const std::string& appPath, std::string_view teamId,
                                 std::chrono::milliseconds timeout) {
    if (teamId.empty()) {
        logLine("No team identifier is built in, so the new application cannot be trusted: " +
                appPath);
        return CodeSignature::unchecked;
    }
    const std::string codesign = platform::macPath("/usr/bin/codesign");
    platform::ProcessOptions options;
    options.output = platform::ProcessOptions::Output::Merged;
    options.timeout = timeout;

    const auto verified =
        platform::runProcess(codesign, {"--verify", "--deep", "--strict", appPath}, options);
    if (!verified.succeeded()) {
        const bool ran = verified.started && !verified.timedOut;
        logLine(std::string(ran ? "Signature of the new application is not valid: "
                                : "Signature of the new application could not be checked: ") +
                failureOf(verified, timeout));
        return ran ? CodeSignature::invalid : CodeSignature::unchecked;
    }

    const auto described = platform::runProcess(codesign, {"-dv", appPath}, options);
    if (!described.succeeded()) {
        logLine("Team of the new application could not be read: " + failureOf(described, timeout));
        return CodeSignature::unchecked;
    }
    constexpr std::string_view kKey = "TeamIdentifier=";
    std::string_view team;
    for (const auto line : linesOf(described.output)) {
        if (line.starts_with(kKey)) {
            team = line.substr(kKey.size());
        }
    }
    if (team != teamId) {
        // Ad-hoc and Apple's own signatures say "not set"; no line at all counts the same.
        logLine("The new application is signed by team \"" + std::string(team) + "\", not \"" +
                std::string(teamId) + "\": " + appPath);
        return CodeSignature::foreignTeam;
    }
    return CodeSignature::trusted;
}

}  // namespace corvane
