#pragma once
// A simulated macOS root for one test (sim/make-root.sh): the stand-in tools on PATH, a home and
// a temporary folder inside it, and the processes it runs, found through /proc.
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

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
    // Nothing of an install is left: the home folder is empty and no image is attached.
    [[nodiscard]] bool tidy() const;

  private:
    TempDir mDir;
    std::filesystem::path mRoot;
    std::vector<std::unique_ptr<ScopedEnv>> mEnv;
};

// Live (not zombie) processes whose command line contains `needle`.
[[nodiscard]] std::vector<pid_t> processesMatching(const std::string& needle);
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
// Names in `folder` (what an install may have left behind in the home folder).
[[nodiscard]] std::vector<std::string> entriesIn(const std::filesystem::path& folder);
// The prebuilt test images: version 2.0.0 of the stand-in app in an image, both signed by our
// team unless `variant` says otherwise: the app "tampered", "foreign", "self-made"; the image
// "image-unsigned", "image-tampered", "image-foreign", "image-self-made".
[[nodiscard]] std::filesystem::path testImage(const std::string& variant = "");
// Signs an app or a file again (sim/sign.sh) with the identity of `team`; `kind` is empty (the
// Developer ID one), "--development" or "--self-made".
void sign(const std::filesystem::path& path, const std::string& team, const std::string& kind = "");

}  // namespace corvane::test
