#pragma once
// A simulated macOS root for one test (sim/make-root.sh): the stand-in tools on PATH, a home and
// a temporary folder inside it, and the processes it runs, found through /proc.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "support/tied_process.h"

namespace corvane::test {

class SimMac {
  public:
    // Lays out the root (named `rootName`) and points CORVANE_SIM_ROOT, HOME, TMPDIR and PATH at
    // it until destruction. Makes this process the reaper of orphaned stand-ins.
    explicit SimMac(const std::string& rootName = "root");
    // Stops (SIGTERM, then SIGKILL) every process whose command line mentions the root.
    ~SimMac();
    SimMac(const SimMac&) = delete;
    SimMac& operator=(const SimMac&) = delete;

    [[nodiscard]] const std::filesystem::path& root() const { return mRoot; }
    [[nodiscard]] std::filesystem::path home() const { return mRoot / "Users/tester"; }
    [[nodiscard]] std::filesystem::path app() const { return mRoot / "Applications/Corvane.app"; }
    [[nodiscard]] std::filesystem::path executable(const std::string& name) const {
        return app() / "Contents/MacOS" / name;
    }
    // Lays out a stand-in Corvane.app of `version` at `where` (default: the installed place),
    // sealed by the team the build expects.
    void makeApp(const std::string& version,
                 const std::optional<std::filesystem::path>& where = std::nullopt) const;
    // Version of the installed app (or the one at `appPath`); empty when there is none.
    [[nodiscard]] std::string appVersion() const { return versionOf(app()); }
    [[nodiscard]] static std::string versionOf(const std::filesystem::path& appPath);
    // Whether the installed app has its six executables (executable) and its payload.
    [[nodiscard]] bool appIsComplete() const;
    // Mount points the hdiutil stand-in holds as attached.
    [[nodiscard]] std::vector<std::string> attachedMountPoints() const;
    // Nothing of an install is left: the home folder holds only the user's shell set-up and no
    // image is attached.
    [[nodiscard]] bool tidy() const;

    // The simulated security server (sim/authorization-service) for this root, run as root and
    // tied to the calling thread until destruction or stopAuthorizationService(). Throws when it
    // does not start.
    void startAuthorizationService();
    void stopAuthorizationService();
    // What the administrator answers from now on: "allow", "deny", "cancel"; nullopt: no answer
    // file (which means cancel). Writes as root (the file is in the root's /private/var/run).
    void answerConsent(const std::optional<std::string>& answer) const;
    // The requests the security server was asked, one JSON line each.
    [[nodiscard]] std::vector<std::string> consentRequests() const;

  private:
    TempDir mDir;
    std::filesystem::path mRoot;
    std::vector<std::unique_ptr<ScopedEnv>> mEnv;
    std::optional<TiedProcess> mAuthorization;
};

// The Mac user the setup runs as: uid 501 in group staff (20) and, unless `standard`, admin (80).
inline constexpr uid_t kMacUserId = 501;
inline constexpr gid_t kStaffGroup = 20;
inline constexpr gid_t kAdminGroup = 80;

// While it lives this process acts as the Mac user (real and effective ids), and every program
// it starts runs as that user; root stays the saved id, so the destructor turns back to root.
// Make it after the scene (SimMac, servers) so it ends before them.
class AsMacUser {
  public:
    explicit AsMacUser(bool standard = false);
    ~AsMacUser();
    AsMacUser(const AsMacUser&) = delete;
    AsMacUser& operator=(const AsMacUser&) = delete;
    // Runs `scene` as root (owners, the security server's answer), then turns back to the user.
    // Without an AsMacUser alive it just runs `scene`.
    static void asRoot(const std::function<void()>& scene);

  private:
    bool mStandard;
};

// Live (not zombie) processes whose command line contains `needle`.
[[nodiscard]] std::vector<pid_t> processesMatching(const std::string& needle);
// Polls `done` for up to ten seconds, reaping orphaned stand-ins meanwhile; its last answer.
bool waitUntil(const std::function<bool()>& done);
// Waits (bounded, reaping orphans) until processesMatching(needle) has `count` entries.
bool waitForCount(const std::string& needle, size_t count);
// Runs `command` with bash in the background, its output thrown away, and returns the one new
// process whose command line contains `needle`; -1 when none appeared within a bound.
[[nodiscard]] pid_t startMatching(const std::string& command, const std::string& needle);
// Whether `pid` is a live (not zombie) process; waitGone waits (bounded) until it is not.
[[nodiscard]] bool alive(pid_t pid);
[[nodiscard]] bool waitGone(pid_t pid);

// Every file below `folder` with its mode bits and bytes: "the same app" means equal trees.
[[nodiscard]] std::map<std::string, std::string> fileTree(const std::filesystem::path& folder);
// Names in `folder` (what an install may have left behind in the home folder), without the
// user's shell set-up (.zshenv, .gnubin).
[[nodiscard]] std::vector<std::string> entriesIn(const std::filesystem::path& folder);
// The prebuilt test images: version 2.0.0 of the stand-in app in an image, both signed by our
// team unless `variant` says otherwise: the app "tampered", "foreign", "self-made"; the image
// "image-unsigned", "image-tampered", "image-foreign", "image-self-made".
[[nodiscard]] std::filesystem::path testImage(const std::string& variant = "");
// Signs an app or a file again (sim/sign.sh) with the identity of `team`; `kind` is empty (the
// Developer ID one), "--development" or "--self-made".
void sign(const std::filesystem::path& path, const std::string& team, const std::string& kind = "");

}  // namespace corvane::test
