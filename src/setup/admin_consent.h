#pragma once
// An administrator's consent for the few moves a user's own rights do not reach: an
// /Applications the user may not write to (a standard account), or an old application that
// belongs to another user (as an installer package, an MDM tool or another account leaves it).
#include <string>
#include <string_view>

namespace corvane {

// Whether the user's own rights reach to move `item` out of or into its folder: the folder may
// be written to and, when `item` is a folder, so may `item` itself (moving a folder to another
// parent rewrites its ".." entry, on macOS as on Linux). A missing `item` needs only the folder.
// Checked with the process's effective ids; changes nothing.
[[nodiscard]] bool userMayMove(const std::string& item);

// Whether the user may remove the whole tree at `path` (missing: true): every folder in it is
// the user's or writable by the user.
[[nodiscard]] bool userMayRemove(const std::string& path);

struct AdministratorRun {
    enum class Outcome {
        done,             // consent given, the script exited with status 0
        failed,           // consent given, the script failed
        consentNotGiven,  // refused, cancelled, or nobody there to answer: nothing ran
    };
    Outcome outcome = Outcome::consentNotGiven;
    std::string output;  // what the script or the dialog reported
};

// Runs the /bin/sh `script` as root once an administrator consents, through the command runner:
// "/usr/bin/osascript -e 'do shell script "…" with prompt "…" with administrator privileges'".
// macOS shows its own authentication dialog, whose first line is `prompt`; the user types an
// administrator's name and password or cancels. Each call asks once. Logs one line with the
// outcome when consent was not given or the script failed; blocks until the dialog is answered.
[[nodiscard]] AdministratorRun runWithAdministratorConsent(const std::string& prompt,
                                                           const std::string& script);

// `text` as an AppleScript string literal, quotes included.
[[nodiscard]] std::string appleScriptString(std::string_view text);

// The prompts, naming the setup and why it asks.
inline constexpr std::string_view kInstallPrompt =
    "Corvane安装程序需要管理员的同意，才能把 Corvane 安装到“应用程序”文件夹。";
inline constexpr std::string_view kRestorePrompt =
    "Corvane安装程序需要管理员的同意，才能把上次未完成的安装之前的 Corvane 放回“应用程序”文件夹。";

}  // namespace corvane
