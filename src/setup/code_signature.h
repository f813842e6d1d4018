#pragma once
// Whether a copy of Corvane.app is one macOS would trust and one we built: its signature must
// seal every file of the bundle and must have been made by our own team.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// The team whose signature the application must carry: the build setting CORVANE_TEAM_ID (on
// Linux by default the simulation's test team). Empty only in a macOS debug build without one.
[[nodiscard]] std::string_view expectedTeamId();

enum class CodeSignature : uint8_t {
    trusted,      // sealed, nothing changed since, signed by the expected team
    invalid,      // not signed, or a file was changed, added or removed after signing
    foreignTeam,  // a valid signature, but another team's (or none named)
    unchecked,    // codesign could not be run or did not finish in time, or no team is built in
};

// Checks the bundle at `appPath` as macOS does before it trusts an app: first
// `/usr/bin/codesign --verify --deep --strict`, then the TeamIdentifier that `codesign -dv`
// prints (on standard error), which must equal `teamId`. Each codesign run is a child process
// (no shell, so the path needs no quoting) killed after `timeout`. Changes nothing on disk.
// Anything but `trusted` writes exactly one plain log line saying why; `trusted` writes none.
[[nodiscard]] CodeSignature checkCodeSignature(
    const std::string& appPath, std::string_view teamId = expectedTeamId(),
    std::chrono::milliseconds timeout = std::chrono::minutes(10));

}  // namespace corvane
