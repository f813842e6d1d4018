// The install sequence in a simulated root with a real image: fresh, upgrade, and every failure
// with the user's application kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "platform/log.h"
#include "setup/code_signature.h"
#include "setup/installer.h"
#include "sim_mac.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::ScopedLogCapture;
using test::SimMac;

// The working folder of the last install, from its "mountPath" line.
std::string workFolderOf(const ScopedLogCapture& log) {
    for (const auto& line : log.lines()) {
        if (line.rfind("mountPath ", 0) == 0) {
            return fs::path(line.substr(10)).parent_path().string();
        }
    }
    return {};
}

class Install : public ::testing::Test {
  protected:
    [[nodiscard]] std::string installedVersion() const { return SimMac::appVersion(sim.app()); }
    [[nodiscard]] bool installedAppIsComplete() const { return sim.appIsComplete(); }

    SimMac sim;
};

TEST_F(Install, FreshMachine) {
    ScopedLogCapture log;
    Installer installer(test::testImage().string());
    EXPECT_TRUE(installer.installPackage());
    const std::string w = workFolderOf(log);
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(installer.mountPointPath, w + "/Corvane");

    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_TRUE(installedAppIsComplete());
    EXPECT_EQ(checkCodeSignature(sim.app().string()), CodeSignature::trusted);
    EXPECT_TRUE(log.contains("文件夹已创建：" + w + "/temp"));
    EXPECT_TRUE(log.contains("文件夹已存在：" + w));
    EXPECT_TRUE(log.contains("execute cmd hdiutil attach '" + test::testImage().string() +
                             "' -mountpoint '" + w +
                             "/Corvane' -noverify -nobrowse -noautoopen -verbose"));
    EXPECT_TRUE(log.contains("Mount command executed successfully"));
    // No earlier copy: the backup move fails and is only logged.
    EXPECT_TRUE(log.contains("mv '" + sim.app().string() + "' '" + w + "/Corvane.app.bak'"));
    EXPECT_TRUE(log.contains("mvFile An error occurred"));
    EXPECT_TRUE(log.contains("hdiutil detach '" + w + "/Corvane' -force"));
    EXPECT_TRUE(log.contains("文件夹已删除：" + w));
    EXPECT_TRUE(test::entriesIn(sim.home()).empty());
    EXPECT_TRUE(sim.attachedMountPoints().empty());
}

TEST_F(Install, UpgradeReplacesTheOldAppAndDropsTheBackup) {
    sim.makeApp("1.0.0");
    ScopedLogCapture log;
    EXPECT_TRUE(Installer(test::testImage().string()).installPackage());
    const std::string w = workFolderOf(log);
    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_TRUE(installedAppIsComplete());
    EXPECT_TRUE(log.contains("mv '" + sim.app().string() + "' '" + w + "/Corvane.app.bak'"));
    EXPECT_FALSE(log.contains("mvFile An error occurred"));
    EXPECT_FALSE(fs::exists(w));
    EXPECT_TRUE(test::entriesIn(sim.home()).empty());
}

TEST_F(Install, CorruptImageFailsAndLeavesTheOldAppAlone) {
    sim.makeApp("1.0.0");
    test::TempDir dir;
    // The first megabyte of a real image: its header is fine, its files are cut off.
    const std::string whole = test::readFile(test::testImage());
    test::writeFile(dir / "cut.dmg", whole.substr(0, 1 << 20));
    test::writeFile(dir / "junk.dmg", std::string(200000, 'x'));
    for (const auto* name : {"cut.dmg", "junk.dmg", "missing.dmg"}) {
        ScopedLogCapture log;
        EXPECT_FALSE(Installer((dir / name).string()).installPackage()) << name;
        EXPECT_TRUE(log.contains("Mount command failed"));
        EXPECT_TRUE(log.contains("demountDMG An error occurred"));
        EXPECT_EQ(installedVersion(), "1.0.0");
        EXPECT_TRUE(test::entriesIn(sim.home()).empty()) << "an empty working folder stays";
        EXPECT_TRUE(sim.attachedMountPoints().empty());
    }
}

// A copy macOS would not trust, or one another team signed, never replaces the user's app.
TEST_F(Install, UntrustedCopyIsRefusedAndTheOldAppStays) {
    const fs::path images = test::testImage().parent_path();
    struct Row {
        const char* image;
        std::string reason;  // the one line that says why
    };
    const std::vector<Row> rows = {
        {"corvane-2.0.0-tampered.dmg", "Signature of the new application is not valid: "},
        {"corvane-2.0.0-foreign.dmg", "The new application is signed by team \"FOREIGN99\""},
    };
    for (const bool upgrade : {true, false}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.image) + (upgrade ? " over 1.0.0" : " on a fresh Mac"));
            fs::remove_all(sim.app());
            if (upgrade) {
                sim.makeApp("1.0.0");
            }
            ScopedLogCapture log;
            EXPECT_FALSE(Installer((images / row.image).string()).installPackage());
            const auto lines = log.lines();
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& l) {
                                        return l.find(row.reason) != std::string::npos;
                                    }),
                      1);
            EXPECT_FALSE(log.containsPrefix("mv '" + workFolderOf(log) + "/temp/Corvane.app'"));
            if (upgrade) {
                // Every sealed file of the old app is there and unchanged.
                EXPECT_EQ(installedVersion(), "1.0.0");
                EXPECT_EQ(checkCodeSignature(sim.app().string()), CodeSignature::trusted);
            } else {
                EXPECT_FALSE(fs::exists(sim.app()));
            }
            EXPECT_TRUE(test::entriesIn(sim.home()).empty());
            EXPECT_TRUE(sim.attachedMountPoints().empty());
        }
    }
}

TEST_F(Install, BackupThatCannotBeRestoredIsKept) {
    sim.makeApp("1.0.0");
    test::ScopedEnv fail("CORVANE_SIM_FAIL_MV", "(/temp/Corvane\\.app|/Corvane\\.app\\.bak)$");
    ScopedLogCapture log;
    EXPECT_FALSE(Installer(test::testImage().string()).installPackage());
    const std::string w = workFolderOf(log);
    EXPECT_FALSE(fs::exists(sim.app()));
    EXPECT_EQ(SimMac::appVersion(w + "/Corvane.app.bak"), "1.0.0");
    EXPECT_TRUE(log.contains("Backup of the old application kept at: " + w + "/Corvane.app.bak"));
    EXPECT_FALSE(log.containsPrefix("文件夹已删除："));
    EXPECT_TRUE(sim.attachedMountPoints().empty());
    // Only the backup is left of the working folder, marked for the next run, which puts it back.
    auto left = test::entriesIn(w);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".corvane-setup-work", "Corvane.app.bak"}));
    test::ScopedEnv healed("CORVANE_SIM_FAIL_MV", std::nullopt);
    Installer::recoverInterruptedInstalls();
    EXPECT_EQ(installedVersion(), "1.0.0");
    EXPECT_TRUE(test::entriesIn(sim.home()).empty());
}

TEST_F(Install, OldAppThatCannotBeMovedAsideIsNotOverwritten) {
    sim.makeApp("1.0.0");
    test::ScopedEnv fail("CORVANE_SIM_FAIL_MV", "/Applications/Corvane\\.app$");
    EXPECT_FALSE(Installer(test::testImage().string()).installPackage());
    EXPECT_EQ(installedVersion(), "1.0.0");
    EXPECT_FALSE(fs::exists(sim.app() / "Corvane.app"));
    EXPECT_TRUE(test::entriesIn(sim.home()).empty());
}

TEST_F(Install, DetachFailureKeepsTheImageAndTheBackupUntilALaterRunCanDetach) {
    sim.makeApp("1.0.0");
    std::string w;
    {
        test::ScopedEnv fail("CORVANE_SIM_FAIL_DETACH", "1");
        ScopedLogCapture log;
        EXPECT_FALSE(Installer(test::testImage().string()).installPackage());
        w = workFolderOf(log);
        EXPECT_TRUE(log.contains("demountDMG An error occurred"));
        EXPECT_TRUE(
            log.contains("Working folder kept, the image is still attached at: " + w + "/Corvane"));
        EXPECT_TRUE(
            log.contains("Backup of the old application kept at: " + w + "/Corvane.app.bak"));
        // The next run cannot detach either: it keeps the folder and says so.
        log.clear();
        Installer::recoverInterruptedInstalls();
        EXPECT_TRUE(
            log.contains("Working folder kept, the image is still attached at: " + w + "/Corvane"));
    }
    // The new app stays installed; nothing below the attached mount point was touched.
    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_EQ(SimMac::appVersion(w + "/Corvane.app.bak"), "1.0.0");
    EXPECT_EQ(SimMac::appVersion(w + "/Corvane/Corvane.app"), "2.0.0");
    EXPECT_EQ(sim.attachedMountPoints(), std::vector<std::string>{w + "/Corvane"});

    // Once the image lets go, a later run detaches it and clears the folder; "重新安装" works.
    Installer::recoverInterruptedInstalls();
    EXPECT_TRUE(sim.attachedMountPoints().empty());
    EXPECT_TRUE(test::entriesIn(sim.home()).empty());
    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_TRUE(Installer(test::testImage().string()).installPackage());
    EXPECT_TRUE(installedAppIsComplete());
}

TEST_F(Install, TwoAttemptsUseTwoWorkingFolders) {
    ScopedLogCapture first;
    EXPECT_TRUE(Installer(test::testImage().string()).installPackage());
    const std::string w1 = workFolderOf(first);
    ScopedLogCapture second;
    EXPECT_TRUE(Installer(test::testImage().string()).installPackage());
    const std::string w2 = workFolderOf(second);
    EXPECT_NE(w1, w2);
    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_TRUE(test::entriesIn(sim.home()).empty());
}

TEST_F(Install, HomeWithSpaceQuoteAndDollar) {
    const fs::path home = sim.root() / "Users" / "Jo's Mac $HOME `id` \"x\"";
    fs::create_directories(home);
    test::ScopedEnv h("HOME", home.string());
    sim.makeApp("1.0.0");
    // The image itself sits in the odd folder too, as a download into it would.
    const fs::path image = home / "package $(id).dmg";
    fs::copy_file(test::testImage(), image);
    ScopedLogCapture log;
    EXPECT_TRUE(Installer(image.string()).installPackage());
    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_EQ(test::entriesIn(home), std::vector<std::string>{image.filename().string()});
    // Every path is passed as one word, whatever it holds.
    EXPECT_TRUE(log.contains("mv " + Installer::shellQuote(sim.app().string()) + " " +
                             Installer::shellQuote(workFolderOf(log) + "/Corvane.app.bak")));
}

TEST(InstallerPaths, NoHomeNoInstall) {
    test::ScopedEnv h("HOME", std::nullopt);
    ScopedLogCapture log;
    EXPECT_FALSE(Installer(test::testImage().string()).installPackage());
    EXPECT_TRUE(log.contains("No home folder: nothing installed"));
    EXPECT_FALSE(log.containsPrefix("execute cmd"));
}

TEST(InstallerPaths, RandomPathIsAFreshUpperCaseUuidInHome) {
    test::TempDir home;
    test::ScopedEnv h("HOME", home.str());
    const std::string a = Installer::generateRandomPath();
    const std::string b = Installer::generateRandomPath();
    EXPECT_NE(a, b);
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    EXPECT_EQ(fs::path(a).parent_path(), home.path());
    EXPECT_TRUE(std::regex_match(fs::path(a).filename().string(), form)) << a;
    EXPECT_FALSE(fs::exists(a));
}

TEST(InstallerFolders, CreateAndRemoveReportWhatTheyFound) {
    test::TempDir dir;
    Installer installer("unused");
    ScopedLogCapture log;
    const std::string nested = (dir / "a/b").string();
    installer.checkAndCreateFolder(nested);
    EXPECT_TRUE(fs::is_directory(nested));
    installer.checkAndCreateFolder(nested);
    installer.removeFolder((dir / "a").string());
    installer.removeFolder((dir / "a").string());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"文件夹已创建：" + nested, "文件夹已存在：" + nested,
                                        "文件夹已删除：" + (dir / "a").string(),
                                        "文件夹不存在：" + (dir / "a").string()}));
    test::writeFile(dir / "file", "x");
    log.clear();
    installer.checkAndCreateFolder((dir / "file/sub").string());
    EXPECT_TRUE(log.containsPrefix("创建文件夹失败："));
}

TEST(InstallerCopy, CopiesTreesButNeverOverwrites) {
    test::TempDir dir;
    test::writeFile(dir / "src/one.txt", "1");
    test::writeFile(dir / "src/sub/two.txt", "2");
    EXPECT_TRUE(Installer::cpFile((dir / "src").string(), (dir / "dst").string()));
    EXPECT_EQ(test::readFile(dir / "dst/sub/two.txt"), "2");
    EXPECT_TRUE(Installer::cpFile((dir / "src/one.txt").string(), (dir / "one.txt").string()));

    ScopedLogCapture log;
    test::writeFile(dir / "keep.txt", "mine");
    EXPECT_FALSE(Installer::cpFile((dir / "src/one.txt").string(), (dir / "keep.txt").string()));
    EXPECT_EQ(test::readFile(dir / "keep.txt"), "mine");
    EXPECT_TRUE(log.containsPrefix("cpFile " + (dir / "src/one.txt").string() + " to " +
                                   (dir / "keep.txt").string() + " error "));
    EXPECT_FALSE(Installer::cpFile((dir / "nothing").string(), (dir / "new").string()));
    EXPECT_FALSE(fs::exists(dir / "new"));
}

}  // namespace
}  // namespace corvane
