#pragma once
// Whether a copy of Corvane.app, or the downloaded disk image, is one we released: its signature
// must seal every byte and must have been made with a Developer ID certificate that Apple issued
// to our own team.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// The team whose signature the application must carry: the build setting CORVANE_TEAM_ID (on
// Linux by default the simulation's test team). Empty only in a macOS debug build without one.
[[nodiscard]] std::string_view expectedTeamId();

enum class CodeSignature : uint8_t {
    trusted,           // sealed, nothing changed since, a Developer ID of the expected team
    invalid,           // not signed, or something was changed, added or removed after signing
    requirementUnmet,  // a valid signature, but another team's, or a certificate Apple did not
                       // issue (self-made), or not a Developer ID one
    unchecked,         // codesign could not be run or did not finish in time, or no usable team
};

// The designated requirement of our releases: Apple's anchor, the Developer ID intermediate
// and leaf markers, and `teamId` as the leaf's organisational unit. Empty when `teamId` is not
// a team identifier (letters and digits only).
[[nodiscard]] std::string releaseRequirement(std::string_view teamId);

// Checks the bundle at `appPath` as macOS does before it trusts an app:
// `/usr/bin/codesign --verify --deep --strict -R=<releaseRequirement(teamId)>`; a signature
// that fails only the requirement (status 3) is then described with `codesign -dv`, whose
// TeamIdentifier goes into the log line. Each codesign run is a child process (no shell, so
// the path needs no quoting) killed after `timeout`. Changes nothing on disk. Anything but
// `trusted` writes exactly one plain log line saying why; `trusted` writes none.
[[nodiscard]] CodeSignature checkCodeSignature(
    const std::string& appPath, std::string_view teamId = expectedTeamId(),
    std::chrono::milliseconds timeout = std::chrono::minutes(10));

// The same check of a signed flat file, the downloaded disk image, before anything opens it.
// Its log line speaks of the downloaded image.
[[nodiscard]] CodeSignature checkImageSignature(
    const std::string& imagePath, std::string_view teamId = expectedTeamId(),
    std::chrono::milliseconds timeout = std::chrono::minutes(10));

}  // namespace corvane
