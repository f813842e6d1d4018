#pragma once
// Where the outside world is. On macOS every answer is the system's own; the Linux build runs
// against a simulated macOS root and reads its locations in paths_linux.cpp only.
#include <optional>
#include <string>
#include <string_view>

namespace corvane::platform {

// The folder that stands for "/" of macOS: empty on macOS, so every path is the real one.
// Linux: $CORVANE_SIM_ROOT (empty when unset).
[[nodiscard]] std::string simRoot();

// An absolute macOS path ("/Applications/Corvane.app") as this build must use it.
[[nodiscard]] std::string macPath(std::string_view absolutePath);

// The current user's home folder (NSHomeDirectory; Linux: $HOME).
[[nodiscard]] std::string homeDirectory();

// The user's temporary-files folder, without a trailing slash (NSTemporaryDirectory; Linux:
// $TMPDIR, else "/tmp").
[[nodiscard]] std::string temporaryDirectory();

// The user's Application Support folder; absent when the platform names none.
[[nodiscard]] std::optional<std::string> applicationSupportDirectory();

// The user's Documents folder; absent when the platform names none.
[[nodiscard]] std::optional<std::string> documentsDirectory();

// The running program's bundle ("…/Corvane_v1.0.0.1_dev01_1.2.3.4.app"). Linux: $CORVANE_BUNDLE
// when set, else the X.app folder that holds Contents/MacOS/<executable>, else the executable's
// folder.
[[nodiscard]] std::string bundlePath();

// The bundle's resource folder (bundle + "/Contents/Resources").
[[nodiscard]] std::string resourcesDirectory();

// The full path of a bundle resource found by its full file name ("vfmt.dat"); absent when the
// bundle has no such file.
[[nodiscard]] std::optional<std::string> resourcePath(std::string_view fileName);

// The package server's base address (scheme and host). The build setting on macOS; Linux takes
// $CORVANE_PACKAGE_BASE when set so tests and the demo can point at a local server.
[[nodiscard]] std::string packageServerBase();

// A certificate bundle to trust in addition to the system's own, for HTTPS to a local test
// server. macOS: never (only the system's trust store counts). Linux: $CORVANE_CA_BUNDLE when set
// and not empty.
#if defined(__APPLE__)
[[nodiscard]] inline std::optional<std::string> extraCaBundle() {
    return std::nullopt;
}
#else
[[nodiscard]] std::optional<std::string> extraCaBundle();
#endif

}  // namespace corvane::platform
