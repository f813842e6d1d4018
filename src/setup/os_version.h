#pragma once
// The operating system's version, asked of the system's version tool ("/usr/bin/env sw_vers
// -productVersion") at most once per process and kept for the install reports.
#include <cstdint>
#include <string>

namespace corvane {

class MacOSVersion {
  public:
    MacOSVersion() = delete;

    // The version text as the tool printed it ("14.5"); empty until probed.
    [[nodiscard]] static std::string gStrMacOSVersion();
    // The major version (14); 0 until probed and when the text does not start with one.
    [[nodiscard]] static uint8_t gMainOSVersion();
    // major × 100 + minor (1405); -1 until probed, never -1 afterwards (0 when unreadable).
    [[nodiscard]] static int64_t gNMacOSVersion();

    // Runs the version tool and stores the three values, then logs
    // "os_version: " + text + ", main_ver: " + gNMacOSVersion. An empty or unreadable answer
    // stores 0 and 0. Blocks until the tool has exited (bounded by a time-out).
    static void updateOsVersion();
    // updateOsVersion() unless this process has probed already; safe from any thread, and the
    // tool runs at most once even when several threads get here together.
    static void ensureProbed();

    // Tests only: forgets the probe so that the next ensureProbed() runs the tool again.
    static void resetForTesting();

  private:
    // The tool's trimmed standard output; empty when it cannot be started ("Failed to get macOS
    // version with error: " + the reason), fails, or prints something that is not UTF-8.
    [[nodiscard]] static std::string getMacOSVersionWithCmd();
};

}  // namespace corvane
