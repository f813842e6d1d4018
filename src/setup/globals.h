#pragma once
// The process-wide values of the setup flow and the install record.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// Height of the window with the options drawer open; without it the window is 56 lower.
inline constexpr int WINDOW_HEIGHT = 492;
inline constexpr int WINDOW_WIDTH = 680;

// The step of a setup run.
enum class INSTALLER_STATUS : uint8_t {
    Prepare_to_download = 0,
    Downloading = 1,
    Download_failed = 2,
    Installing = 3,
    Install_failed = 4,
    Install_success = 5,
};

// Copy of the controller's step for the application shell. Atomic: the download's worker
// thread changes the step too.
extern std::atomic<INSTALLER_STATUS> g_installerStatus;

// The package address chosen for this machine; empty until the controller is built.
[[nodiscard]] std::string downloadUrl();
void setDownloadUrl(std::string url);

// The shared settings file, computed once on first use (logs "get appDataPath " + path);
// absent when the Application Support folder cannot be found.
[[nodiscard]] const std::optional<std::string>& g_commonFilePath();
// Tests only: forgets the computed path so that the next g_commonFilePath() computes it again
// from the current home folder. Not safe while another thread uses g_commonFilePath().
void resetCommonFilePathForTesting();

}  // namespace corvane
