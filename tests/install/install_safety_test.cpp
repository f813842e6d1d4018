// Installs that fail, with the stand-ins failing the way macOS fails: the user's application is
// never lost or left half-copied, nothing stays behind in the home folder, and "重新安装" (a
// second install without the fault) succeeds afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "setup/installer.h"
#include "sim_mac.h"

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

}  // namespace
}  // namespace corvane
