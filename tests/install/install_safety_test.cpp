// Installs that fail or are cut short, with the stand-ins failing the way macOS fails: the
// user's application is never lost or left half-copied, nothing stays behind in the home
// folder, and "重新安装" (a second install without the fault) succeeds afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "setup/installer.h"
#include "sim_mac.h"

extern char** environ;

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::ScopedLogCapture;
using test::SimMac;

// A folder made immutable (chattr +i): every rename into or out of it fails with "Operation not
// permitted", for root too, as a folder the user may not write to does on a Mac.
class ImmutableFolder {
  public:
    explicit ImmutableFolder(fs::path folder) : mFolder(std::move(folder)) {
        mActive = platform::runProcess("/usr/bin/chattr", {"+i", mFolder.string()}).succeeded();
    }
    ~ImmutableFolder() {
        if (mActive) {
            (void)platform::runProcess("/usr/bin/chattr", {"-i", mFolder.string()});
        }
    }
    ImmutableFolder(const ImmutableFolder&) = delete;
    ImmutableFolder& operator=(const ImmutableFolder&) = delete;
    [[nodiscard]] bool active() const { return mActive; }

  private:
    fs::path mFolder;
    bool mActive = false;
};

// An image whose header is fine and whose files are cut off.
fs::path cutImage(const test::TempDir& dir) {
    const fs::path cut = dir / "cut.dmg";
    test::writeFile(cut, test::readFile(test::testImage()).substr(0, 1 << 20));
    return cut;
}

TEST(InstallFaults, OldAppStaysWholeAndReinstallSucceeds) {
    struct Row {
        const char* fault;
        const char* variable;  // the stand-in's fault switch, or nullptr
        const char* value;
        bool corruptImage;
        bool immutableApplications;
        const char* logged;  // a line (prefix) the attempt must log
    };
    const Row rows[] = {
        {"corrupt image", nullptr, nullptr, true, false, "Mount command failed"},
        {"attach fails", "CORVANE_SIM_FAIL_ATTACH", "1", false, false, "Mount command failed"},
        {"partial copy", "CORVANE_SIM_FAIL_DITTO", "1", false, false,
         "ditto failed (exit status 1), the partial copy is removed: "},
        {"disk full during the copy", "CORVANE_SIM_DITTO_FSIZE_KB", "256", false, false,
         "ditto failed (exit status 1), the partial copy is removed: "},
        {"move into /Applications fails", "CORVANE_SIM_FAIL_MV", "/temp/Corvane\\.app$", false,
         false, "mvFile An error occurred"},
        {"/Applications not writable", nullptr, nullptr, false, true,
         "mvFile skipped, the old application is still in place: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        SimMac sim;
        sim.makeApp("1.0.0");
        const auto before = test::fileTree(sim.app());
        test::TempDir dir;
        const fs::path image = row.corruptImage ? cutImage(dir) : test::testImage();
        {
            std::unique_ptr<test::ScopedEnv> fault;
            if (row.variable != nullptr) {
                fault = std::make_unique<test::ScopedEnv>(row.variable, row.value);
            }
            std::unique_ptr<ImmutableFolder> locked;
            if (row.immutableApplications) {
                locked = std::make_unique<ImmutableFolder>(sim.root() / "Applications");
                if (!locked->active()) {
                    std::cerr << "chattr +i is not supported here; row skipped\n";
                    continue;
                }
            }
            ScopedLogCapture log;
            EXPECT_FALSE(Installer(image.string()).installPackage());
            EXPECT_TRUE(log.containsPrefix(row.logged));
        }
        EXPECT_EQ(test::fileTree(sim.app()), before) << "the old app is not the same";
        EXPECT_TRUE(test::entriesIn(sim.home()).empty()) << "no partial copy, no working folder";
        EXPECT_TRUE(sim.attachedMountPoints().empty());

        // "重新安装" with the fault gone.
        EXPECT_TRUE(Installer(test::testImage().string()).installPackage());
        EXPECT_EQ(SimMac::appVersion(sim.app()), "2.0.0");
        EXPECT_TRUE(sim.appIsComplete());
        EXPECT_TRUE(test::entriesIn(sim.home()).empty());
    }
}

// The stand-in copy fails the way ditto does: part of the tree is written, the status is not 0.
TEST(InstallFaults, StandInCopyFailuresLeaveAPartialTree) {
    SimMac sim;
    sim.makeApp("1.0.0");
    test::writeFile(sim.app() / "Contents/Resources/payload.bin", std::string(1 << 20, 'p'));
    const auto whole = test::fileTree(sim.app());
    for (const auto& [variable, value] : {std::pair{"CORVANE_SIM_FAIL_DITTO", "1"},
                                          std::pair{"CORVANE_SIM_DITTO_FSIZE_KB", "256"}}) {
        SCOPED_TRACE(variable);
        test::ScopedEnv fault(variable, value);
        test::TempDir dir;
        const auto r = platform::runProcess(platform::macPath("/usr/bin/ditto"),
                                            {sim.app().string(), (dir / "Corvane.app").string()});
        EXPECT_NE(r.exitStatus, 0);
        const auto copied = test::fileTree(dir / "Corvane.app");
        EXPECT_FALSE(copied.empty());
        EXPECT_NE(copied, whole);
    }
}

// One install in a process of its own (install_driver), signalled by a stand-in at `step`.
// Killed and reaped on scope exit if the test has not waited for its end.
class Driver {
  public:
    Driver(const std::string& step, const std::string& signal) {
        test::ScopedEnv at("CORVANE_SIM_KILL_AT", step);
        test::ScopedEnv sig("CORVANE_SIM_KILL_SIGNAL", signal);
        std::string driver = CORVANE_INSTALL_DRIVER;
        std::string image = test::testImage().string();
        char* argv[] = {driver.data(), image.data(), nullptr};
        if (::posix_spawn(&mPid, driver.c_str(), nullptr, nullptr, argv, environ) != 0) {
            mPid = -1;
        }
    }
    ~Driver() {
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            (void)wait(0);
        }
    }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    [[nodiscard]] pid_t pid() const { return mPid; }
    // waitpid() with `options`; the status, or -1 when it failed. After an end the pid is gone.
    int wait(int options) {
        int status = 0;
        if (mPid <= 0 || ::waitpid(mPid, &status, options) != mPid) {
            return -1;
        }
        if (!WIFSTOPPED(status)) {
            mPid = -1;
        }
        return status;
    }

  private:
    pid_t mPid = -1;
};

TEST(InstallKilled, NextRunPutsACompleteAppBackAndClearsTheWorkingFolder) {
    enum class After { oldApp, newApp, noApp };
    struct Row {
        const char* step;
        bool hadApp;
        After after;
    };
    const Row rows[] = {
        {"attach", true, After::oldApp},  {"backup", true, After::oldApp},
        {"copying", true, After::oldApp}, {"copied", true, After::oldApp},
        {"move", true, After::newApp},    {"detach", true, After::newApp},
        {"copying", false, After::noApp}, {"move", false, After::newApp},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.step) + (row.hadApp ? " (upgrade)" : " (fresh)"));
        SimMac sim;
        if (row.hadApp) {
            sim.makeApp("1.0.0");
        }
        const auto before = test::fileTree(sim.app());
        // A folder of the user's that looks like ours but carries no mark.
        const fs::path decoy = sim.home() / "0A1B2C3D-0000-4000-8000-000000000000";
        sim.makeApp("0.9.0", decoy / "Corvane.app.bak");
        test::writeFile(decoy / "Corvane/notes.txt", "mine");
        const auto decoyBefore = test::fileTree(decoy);

        Driver driver(row.step, "KILL");
        const int status = driver.wait(0);
        ASSERT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        ScopedLogCapture log;
        Installer::recoverInterruptedInstalls();
        EXPECT_TRUE(log.containsPrefix("Found the working folder of an interrupted install: "));
        switch (row.after) {
            case After::oldApp:
                EXPECT_EQ(test::fileTree(sim.app()), before);
                break;
            case After::newApp:
                EXPECT_EQ(SimMac::appVersion(sim.app()), "2.0.0");
                EXPECT_TRUE(sim.appIsComplete());
                break;
            case After::noApp:
                EXPECT_FALSE(fs::exists(sim.app()));
                break;
        }
        EXPECT_EQ(test::entriesIn(sim.home()), std::vector<std::string>{decoy.filename()});
        EXPECT_EQ(test::fileTree(decoy), decoyBefore);
        EXPECT_TRUE(sim.attachedMountPoints().empty());

        EXPECT_TRUE(Installer(test::testImage().string()).installPackage());
        EXPECT_EQ(SimMac::appVersion(sim.app()), "2.0.0");
    }
}

TEST(InstallKilled, FoldersOfARunningSetupAreLeftAlone) {
    SimMac sim;
    sim.makeApp("1.0.0");
    const auto before = test::fileTree(sim.app());
    // A seed folder of the settings file whose run is over, though its process id (1) is alive:
    // the mark's lock, not the number, tells.
    const fs::path seed = sim.home() / "5EED0000-0000-4000-8000-000000000000";
    test::writeFile(seed / ".corvane-setup-work", "settings-seed 1\n");
    test::writeFile(seed / "Corvane/reg/common.ini", "");

    // Frozen right after the old app was moved aside: the run is alive and owns its folder.
    Driver driver("backup", "STOP");
    const pid_t pid = driver.pid();
    const int status = driver.wait(WUNTRACED);
    ASSERT_TRUE(status != -1 && WIFSTOPPED(status));
    {
        ScopedLogCapture log;
        Installer::recoverInterruptedInstalls();
        EXPECT_TRUE(log.containsPrefix("Working folder in use by a running setup (pid " +
                                       std::to_string(pid) + "), left alone: "));
        EXPECT_TRUE(log.containsPrefix("Removing the settings seed of an interrupted setup: "));
    }
    EXPECT_FALSE(fs::exists(sim.app()));
    EXPECT_FALSE(fs::exists(seed));
    ASSERT_EQ(test::entriesIn(sim.home()).size(), 1u);

    ::kill(pid, SIGKILL);
    ASSERT_NE(driver.wait(0), -1);
    Installer::recoverInterruptedInstalls();
    EXPECT_EQ(test::fileTree(sim.app()), before);
    EXPECT_TRUE(test::entriesIn(sim.home()).empty());
    EXPECT_TRUE(sim.attachedMountPoints().empty());
}

}  // namespace
}  // namespace corvane
