// The install sequence in a simulated root with real images: fresh, upgrade, and every failure or
// cut-short run with the stand-ins failing the way macOS fails. The user's application is never
// lost or left half-copied, nothing stays behind in the home folder, and "重新安装" succeeds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <regex>
#include <tuple>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "setup/code_signature.h"
#include "setup/installer.h"
#include "setup/work_folder.h"
#include "support/sim_root.h"
#include "support/tied_process.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::ScopedLogCapture;
using test::SimMac;
using Lines = std::vector<std::string>;

// The working folder of the last install, from its "mountPath" line.
std::string workFolderOf(const ScopedLogCapture& log) {
    for (const auto& line : log.lines()) {
        if (line.rfind("mountPath ", 0) == 0) {
            return fs::path(line.substr(10)).parent_path().string();
        }
    }
    return {};
}

bool install(const fs::path& image = test::testImage()) {
    return Installer(image.string()).installPackage();
}

// The command lines as logged: each tool by its absolute path, each path quoted.
std::string q(const std::string& path) {
    return Installer::shellQuote(path);
}
std::string mvLine(const std::string& from, const std::string& to) {
    return q(platform::macPath("/bin/mv")) + " " + q(from) + " " + q(to);
}

// Lines of the log that start with `prefix`.
long countPrefix(const ScopedLogCapture& log, const std::string& prefix) {
    const auto lines = log.lines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.starts_with(prefix); });
}

constexpr const char* kNotGiven = "The administrator's consent was not given: ";

// The installs run as the Mac user (an admin), in a root laid out as a Mac's.
class Install : public ::testing::Test {
  protected:
    SimMac sim;
    test::AsMacUser user;
    ScopedLogCapture log;
};

TEST_F(Install, FreshMachineThenUpgradeInAnotherWorkingFolder) {
    Installer installer(test::testImage().string());
    EXPECT_TRUE(installer.installPackage());
    const std::string w = workFolderOf(log);
    ASSERT_FALSE(w.empty());
    // A fresh version-4 UUID in upper case, in the home folder.
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    EXPECT_TRUE(std::regex_match(fs::path(w).filename().string(), uuid)) << w;
    EXPECT_EQ(fs::path(w).parent_path(), sim.home());
    EXPECT_EQ(installer.mountPointPath, w + "/Corvane");
    EXPECT_EQ(sim.appVersion(), "2.0.0");
    EXPECT_TRUE(sim.appIsComplete());
    EXPECT_EQ(checkCodeSignature(sim.app().string()), CodeSignature::trusted);
    for (const auto& line : Lines{
             "文件夹已创建：" + w + "/temp", "文件夹已存在：" + w,
             "execute cmd " + q(platform::macPath("/usr/bin/hdiutil")) + " attach " +
                 q(test::testImage().string()) + " -mountpoint " + q(w + "/Corvane") +
                 " -noverify -nobrowse -noautoopen -verbose",
             "Mount command executed successfully",
             // No earlier copy: the backup move fails and is only logged.
             mvLine(sim.app().string(), w + "/Corvane.app.bak"), "mvFile An error occurred",
             q(platform::macPath("/usr/bin/hdiutil")) + " detach " + q(w + "/Corvane") + " -force",
             "文件夹已删除：" + w}) {
        EXPECT_TRUE(log.contains(line)) << line;
    }
    EXPECT_TRUE(sim.tidy());

    fs::remove_all(sim.app());
    sim.makeApp("1.0.0");
    log.clear();
    EXPECT_TRUE(install());
    const std::string w2 = workFolderOf(log);
    EXPECT_NE(w2, w);
    EXPECT_EQ(sim.appVersion(), "2.0.0");
    EXPECT_TRUE(sim.appIsComplete());
    EXPECT_TRUE(log.contains(mvLine(sim.app().string(), w2 + "/Corvane.app.bak")));
    EXPECT_FALSE(log.contains("mvFile An error occurred"));
    EXPECT_TRUE(sim.tidy());
}

// A copy macOS would not trust, one another team signed, or one signed with a certificate Apple
// never issued (though it names our team) never replaces the user's app.
TEST_F(Install, UntrustedCopyIsRefusedAndTheOldAppStays) {
    const std::string unmet =
        "The new application is not signed with a Developer ID certificate that Apple issued to "
        "team \"" +
        std::string(expectedTeamId()) + "\" (its signature names team ";
    const std::pair<const char*, std::string> rows[] = {
        {"tampered", "Signature of the new application is not valid: "},
        {"foreign", unmet + "\"FOREIGN99\")"},
        {"self-made", unmet + "\"" + std::string(expectedTeamId()) + "\")"},
    };
    for (const bool upgrade : {true, false}) {
        for (const auto& [image, reason] : rows) {
            SCOPED_TRACE(std::string(image) + (upgrade ? " over 1.0.0" : " on a fresh Mac"));
            fs::remove_all(sim.app());
            if (upgrade) {
                sim.makeApp("1.0.0");
            }
            const auto before = test::fileTree(sim.app());
            log.clear();
            EXPECT_FALSE(install(test::testImage(image)));
            const auto lines = log.lines();
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [&](const auto& l) { return l.find(reason) != l.npos; }),
                      1);
            EXPECT_FALSE(log.containsPrefix(q(platform::macPath("/bin/mv")) + " " +
                                            q(workFolderOf(log) + "/temp/Corvane.app")));
            // Every signed file of the old app is there and unchanged.
            EXPECT_EQ(test::fileTree(sim.app()), before);
            EXPECT_TRUE(sim.tidy());
        }
    }
}

TEST_F(Install, BackupThatCannotBeRestoredIsKept) {
    sim.makeApp("1.0.0");
    std::optional<test::ScopedEnv> fail{std::in_place, "CORVANE_SIM_FAIL_MV",
                                        "(/temp/Corvane\\.app|/Corvane\\.app\\.bak)$"};
    EXPECT_FALSE(install());
    const std::string w = workFolderOf(log);
    EXPECT_FALSE(fs::exists(sim.app()));
    EXPECT_EQ(SimMac::versionOf(w + "/Corvane.app.bak"), "1.0.0");
    EXPECT_TRUE(log.contains("Backup of the old application kept at: " + w + "/Corvane.app.bak"));
    EXPECT_FALSE(log.containsPrefix("文件夹已删除："));
    EXPECT_TRUE(sim.attachedMountPoints().empty());
    // Only the backup is left of the working folder, marked for the next run, which puts it back.
    EXPECT_EQ(test::entriesIn(w), (Lines{".corvane-setup-work", "Corvane.app.bak"}));
    fail.reset();
    Installer::recoverInterruptedInstalls();
    EXPECT_EQ(sim.appVersion(), "1.0.0");
    EXPECT_TRUE(sim.tidy());
}

TEST_F(Install, DetachFailureKeepsTheImageAndTheBackupUntilALaterRunCanDetach) {
    sim.makeApp("1.0.0");
    std::optional<test::ScopedEnv> fail{std::in_place, "CORVANE_SIM_FAIL_DETACH", "1"};
    EXPECT_FALSE(install());
    const std::string w = workFolderOf(log);
    const std::string kept =
        "Working folder kept, the image is still attached at: " + w + "/Corvane";
    EXPECT_TRUE(log.contains("demountDMG An error occurred"));
    EXPECT_TRUE(log.contains(kept));
    EXPECT_TRUE(log.contains("Backup of the old application kept at: " + w + "/Corvane.app.bak"));
    // The next run cannot detach either: it keeps the folder and says so.
    log.clear();
    Installer::recoverInterruptedInstalls();
    EXPECT_TRUE(log.contains(kept));
    // The new app stays installed; nothing below the attached mount point was touched.
    EXPECT_EQ(sim.appVersion(), "2.0.0");
    EXPECT_EQ(SimMac::versionOf(w + "/Corvane.app.bak"), "1.0.0");
    EXPECT_EQ(SimMac::versionOf(w + "/Corvane/Corvane.app"), "2.0.0");
    EXPECT_EQ(sim.attachedMountPoints(), Lines{w + "/Corvane"});

    // Once the image lets go, a later run detaches it and clears the folder; "重新安装" works.
    fail.reset();
    Installer::recoverInterruptedInstalls();
    EXPECT_TRUE(sim.tidy());
    EXPECT_EQ(sim.appVersion(), "2.0.0");
    EXPECT_TRUE(install());
    EXPECT_TRUE(sim.appIsComplete());
}

TEST_F(Install, HomeWithSpaceQuoteAndDollar) {
    const fs::path home = sim.root() / "Users" / "Jo's Mac $HOME `id` \"x\"";
    test::AsMacUser::asRoot([&] {
        fs::create_directories(home);
        ASSERT_EQ(::chown(home.c_str(), test::kMacUserId, test::kStaffGroup), 0);
    });
    test::ScopedEnv h("HOME", home.string());
    sim.makeApp("1.0.0");
    // The image itself sits in the odd folder too, as a download into it would.
    const fs::path image = home / "package $(id).dmg";
    fs::copy_file(test::testImage(), image);
    EXPECT_TRUE(install(image));
    EXPECT_EQ(sim.appVersion(), "2.0.0");
    EXPECT_EQ(test::entriesIn(home), Lines{image.filename().string()});
    // Every path is passed as one word, whatever it holds.
    EXPECT_TRUE(log.contains(mvLine(sim.app().string(), workFolderOf(log) + "/Corvane.app.bak")));
}

TEST(InstallerPaths, NoHomeNoInstall) {
    test::ScopedEnv h("HOME", std::nullopt);
    ScopedLogCapture log;
    EXPECT_FALSE(install());
    EXPECT_TRUE(log.contains("No home folder: nothing installed"));
    EXPECT_FALSE(log.containsPrefix("execute cmd"));
}

TEST(InstallerFolders, CreateRemoveAndCopyReportWhatTheyFound) {
    test::TempDir dir;
    Installer installer("unused");
    ScopedLogCapture log;
    const std::string nested = (dir / "a/b").string();
    const std::string a = (dir / "a").string();
    installer.checkAndCreateFolder(nested);
    EXPECT_TRUE(fs::is_directory(nested));
    installer.checkAndCreateFolder(nested);
    installer.removeFolder(a);
    installer.removeFolder(a);
    EXPECT_EQ(log.lines(), (Lines{"文件夹已创建：" + nested, "文件夹已存在：" + nested,
                                  "文件夹已删除：" + a, "文件夹不存在：" + a}));
    test::writeFile(dir / "file", "x");
    installer.checkAndCreateFolder((dir / "file/sub").string());
    EXPECT_TRUE(log.containsPrefix("创建文件夹失败："));

    // Copies take whole trees and never overwrite.
    const auto p = [&](const char* name) { return (dir / name).string(); };
    test::writeFile(dir / "src/sub/two.txt", "2");
    EXPECT_TRUE(Installer::cpFile(p("src"), p("dst")));
    EXPECT_EQ(test::readFile(dir / "dst/sub/two.txt"), "2");
    test::writeFile(dir / "keep.txt", "mine");
    EXPECT_FALSE(Installer::cpFile(p("file"), p("keep.txt")));
    EXPECT_EQ(test::readFile(dir / "keep.txt"), "mine");
    EXPECT_TRUE(log.containsPrefix("cpFile " + p("file") + " to " + p("keep.txt") + " error "));
    EXPECT_FALSE(Installer::cpFile(p("nothing"), p("new")));
    EXPECT_FALSE(fs::exists(dir / "new"));
}

TEST(InstallFaults, OldAppStaysWholeAndReinstallSucceeds) {
    test::TempDir images;
    // The first megabyte of a real image: its header is fine, its files and signature cut off.
    test::writeFile(images / "cut.dmg", test::readFile(test::testImage()).substr(0, 1 << 20));
    test::writeFile(images / "junk.dmg", std::string(200000, 'x'));
    // Our own signature on a broken image: only the attach can tell.
    test::writeFile(images / "signed-junk.dmg", std::string(200000, 'x'));
    test::sign(images / "signed-junk.dmg", std::string(expectedTeamId()));
    for (const char* variant :
         {"image-unsigned", "image-tampered", "image-foreign", "image-self-made"}) {
        fs::copy_file(test::testImage(variant), images / (std::string(variant) + ".dmg"));
    }
    // Downloaded images are the user's, in a folder of the user's: a refused one can be removed.
    ASSERT_TRUE(platform::runProcess("/bin/chown", {"-R",
                                                    std::to_string(test::kMacUserId) + ":" +
                                                        std::to_string(test::kStaffGroup),
                                                    images.path().string()})
                    .succeeded());
    struct Row {
        const char* fault;
        const char* image;     // in `images`, or nullptr for the good one
        const char* variable;  // the stand-in's fault switch, or nullptr
        const char* value;
        const char* logged;  // a line (prefix) the attempt must log once
    };
    const char* const kPartialCopy = "ditto failed (exit status 1), the partial copy is removed: ";
    const char* const kInvalid = "Signature of the downloaded image is not valid: ";
    const char* const kUnmet =
        "The downloaded image is not signed with a Developer ID certificate that Apple issued to "
        "team ";
    const Row rows[] = {
        {"image cut short", "cut.dmg", nullptr, nullptr, kInvalid},
        {"junk image", "junk.dmg", nullptr, nullptr, kInvalid},
        {"missing image", "missing.dmg", nullptr, nullptr, kInvalid},
        {"unsigned image", "image-unsigned.dmg", nullptr, nullptr, kInvalid},
        {"image changed after signing", "image-tampered.dmg", nullptr, nullptr, kInvalid},
        {"image of another team", "image-foreign.dmg", nullptr, nullptr, kUnmet},
        {"image with a self-made certificate", "image-self-made.dmg", nullptr, nullptr, kUnmet},
        {"signed corrupt image", "signed-junk.dmg", nullptr, nullptr, "Mount command failed"},
        {"attach fails", nullptr, "CORVANE_SIM_FAIL_ATTACH", "1", "Mount command failed"},
        {"partial copy", nullptr, "CORVANE_SIM_FAIL_DITTO", "1", kPartialCopy},
        {"disk full during the copy", nullptr, "CORVANE_SIM_DITTO_FSIZE_KB", "256", kPartialCopy},
        {"backup move fails", nullptr, "CORVANE_SIM_FAIL_MV", "/Applications/Corvane\\.app$",
         "mvFile An error occurred"},
        {"move into /Applications fails", nullptr, "CORVANE_SIM_FAIL_MV", "/temp/Corvane\\.app$",
         "mvFile An error occurred"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        SimMac sim;
        test::AsMacUser user;
        sim.makeApp("1.0.0");
        const auto before = test::fileTree(sim.app());
        const bool refusedImage = row.logged == kInvalid || row.logged == kUnmet;
        {
            std::optional<test::ScopedEnv> fault;
            if (row.variable != nullptr) {
                fault.emplace(row.variable, row.value);
            }
            ScopedLogCapture log;
            const fs::path image = row.image ? images / row.image : test::testImage();
            EXPECT_FALSE(install(image));
            const auto lines = log.lines();
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [&](const auto& l) { return l.starts_with(row.logged); }),
                      1);
            if (refusedImage) {
                // Never attached, nothing made, and gone, so the next attempt fetches it again.
                EXPECT_EQ(lines.size(), 1u);
                EXPECT_FALSE(log.containsPrefix(
                    "execute cmd " + q(platform::macPath("/usr/bin/hdiutil")) + " attach"));
                EXPECT_FALSE(fs::exists(image));
            }
        }
        EXPECT_EQ(test::fileTree(sim.app()), before) << "the old app is not the same";
        EXPECT_TRUE(sim.tidy()) << "no partial copy, no working folder, nothing attached";

        // "重新安装" with the fault gone.
        EXPECT_TRUE(install());
        EXPECT_EQ(sim.appVersion(), "2.0.0");
        EXPECT_TRUE(sim.appIsComplete());
        EXPECT_TRUE(sim.tidy());
    }
}

// Where the user's rights do not reach (a standard account, an old app that is root's) the moves
// wait for one administrator's consent per attempt; where they reach, nobody is asked. A refusal
// or a cancel changes nothing, and "重新安装" asks again.
TEST(InstallConsent, AskedOnceWhereTheRightsDoNotReachAndNeverElsewhere) {
    enum class Old { none, users, roots };
    struct Row {
        const char* who;
        bool standard;
        Old old;
        std::optional<std::string> answer;  // nullopt: no answer file, which means cancel
    };
    const Row rows[] = {
        {"admin, his own old app", false, Old::users, std::nullopt},
        {"admin, no old app", false, Old::none, "deny"},
        {"admin, root's old app", false, Old::roots, "allow"},
        {"admin, root's old app, cancelled", false, Old::roots, "cancel"},
        {"standard, no old app", true, Old::none, "allow"},
        {"standard, his own old app, refused", true, Old::users, "deny"},
        {"standard, his own old app, no answer", true, Old::users, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.who);
        SimMac sim;
        sim.startAuthorizationService();
        sim.answerConsent(row.answer);
        if (row.old == Old::roots) {
            sim.makeApp("1.0.0");
        }
        test::AsMacUser user(row.standard);
        if (row.old == Old::users) {
            test::AsMacUser::asRoot([&] {
                sim.makeApp("1.0.0");
                ASSERT_TRUE(platform::runProcess("/bin/chown", {"-R", "501:20", sim.app().string()})
                                .succeeded());
            });
        }
        const bool asked = row.standard || row.old == Old::roots;
        const bool given = !asked || row.answer == "allow";
        const auto before = test::fileTree(sim.app());
        ScopedLogCapture log;
        EXPECT_EQ(install(), given);
        EXPECT_EQ(sim.consentRequests().size(), asked ? 1u : 0u);
        EXPECT_EQ(countPrefix(log, kNotGiven), given ? 0 : 1);
        if (given) {
            EXPECT_EQ(sim.appVersion(), "2.0.0");
            EXPECT_TRUE(sim.appIsComplete());
        } else {
            EXPECT_EQ(test::fileTree(sim.app()), before) << "the old app is not the same";
            // "重新安装" asks again.
            sim.answerConsent("allow");
            EXPECT_TRUE(install());
            EXPECT_EQ(sim.consentRequests().size(), 2u);
            EXPECT_EQ(sim.appVersion(), "2.0.0");
        }
        for (const auto& request : sim.consentRequests()) {
            EXPECT_NE(request.find("\"uid\": 501"), std::string::npos) << request;
            EXPECT_NE(request.find("Corvane安装程序"), std::string::npos) << request;
        }
        EXPECT_TRUE(sim.tidy()) << "a backup of root's removed with the consent";
    }
}

// A move to another volume copies, then deletes; cut short, it leaves a partial app in place.
// The complete backup is kept, and the next run puts it back over the partial app.
TEST(InstallFaults, FailedMoveAcrossVolumesKeepsTheWholeBackup) {
    SimMac sim;
    test::AsMacUser user;
    sim.makeApp("1.0.0");
    const auto before = test::fileTree(sim.app());
    {
        test::ScopedEnv partial("CORVANE_SIM_MV_PARTIAL", "/temp/Corvane\\.app$");
        ScopedLogCapture log;
        EXPECT_FALSE(install());
        const std::string w = workFolderOf(log);
        EXPECT_EQ(test::fileTree(w + "/Corvane.app.bak"), before);
        EXPECT_TRUE(fs::exists(sim.app()));
        EXPECT_NE(test::fileTree(sim.app()), before);
    }
    ScopedLogCapture log;
    Installer::recoverInterruptedInstalls();
    EXPECT_TRUE(log.containsPrefix("The application in place is not whole; the backup goes back"));
    EXPECT_EQ(test::fileTree(sim.app()), before);
    EXPECT_TRUE(sim.tidy());
}

// The stand-in copy fails the way ditto does: part of the tree is written, the status is not 0;
// it keeps modes as they are.
TEST(InstallFaults, StandInCopyFailuresLeaveAPartialTree) {
    SimMac sim;
    sim.makeApp("1.0.0");
    test::writeFile(sim.app() / "Contents/Resources/payload.bin", std::string(1 << 20, 'p'));
    for (const auto& [variable, value] : {std::pair{"CORVANE_SIM_FAIL_DITTO", "1"},
                                          std::pair{"CORVANE_SIM_DITTO_FSIZE_KB", "256"}}) {
        SCOPED_TRACE(variable);
        test::ScopedEnv fault(variable, value);
        const fs::path copy = sim.root() / variable;
        const auto r = platform::runProcess(platform::macPath("/usr/bin/ditto"),
                                            {sim.app().string(), copy.string()});
        EXPECT_NE(r.exitStatus, 0);
        EXPECT_FALSE(test::fileTree(copy).empty());
        EXPECT_NE(test::fileTree(copy), test::fileTree(sim.app()));
    }

    // As the user: a read-only tree copies as read-only (ditto adds no write right of its own),
    // and the removal of such a copy copes with it.
    test::AsMacUser user;
    const fs::path readOnly = sim.home() / "read-only.app";
    const fs::path copy = sim.home() / "copy.app";
    sim.makeApp("1.0.0", readOnly);
    ASSERT_TRUE(platform::runProcess("/bin/chmod", {"-R", "a-w", readOnly.string()}).succeeded());
    ASSERT_TRUE(platform::runProcess(platform::macPath("/usr/bin/ditto"),
                                     {readOnly.string(), copy.string()})
                    .succeeded());
    EXPECT_EQ(test::fileTree(copy), test::fileTree(readOnly));
    EXPECT_EQ(fs::status(copy / "Contents").permissions() & fs::perms::owner_write,
              fs::perms::none);
    std::error_code ec;
    removeTree(copy.string(), ec);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_FALSE(fs::exists(copy));
}

// Each test runs installs in a process of their own (install_driver), which a stand-in signals
// at an injected step.
TEST(InstallKilled, NextRunPutsACompleteAppBackAndClearsTheWorkingFolder) {
    enum class After { oldApp, newApp, noApp };
    enum class Had { none, users, roots };
    const std::tuple<const char*, Had, After> rows[] = {
        {"attach", Had::users, After::oldApp},
        {"backup", Had::users, After::oldApp},
        {"copying", Had::users, After::oldApp},
        {"copied", Had::users, After::oldApp},
        {"move", Had::users, After::newApp},
        {"detach", Had::users, After::newApp},
        {"copying", Had::none, After::noApp},
        {"move", Had::none, After::newApp},
        // Between the privileged move aside and the move into place: the backup is root's.
        {"backup", Had::roots, After::oldApp},
    };
    for (const auto& [step, had, after] : rows) {
        const bool hadApp = had != Had::none;
        SCOPED_TRACE(std::string(step) + (hadApp ? " (upgrade)" : " (fresh)") +
                     (had == Had::roots ? " of root's app" : ""));
        SimMac sim;
        sim.startAuthorizationService();
        sim.answerConsent("allow");
        if (had == Had::roots) {
            sim.makeApp("1.0.0");
        }
        test::AsMacUser user;
        if (had == Had::users) {
            sim.makeApp("1.0.0");
        }
        const auto before = test::fileTree(sim.app());
        // Folders of the user's that look like ours: one named like a working folder without
        // a mark, one with a mark but not named like one.
        const fs::path decoy = sim.home() / "0A1B2C3D-0000-4000-8000-000000000000";
        sim.makeApp("0.9.0", decoy / "Corvane.app.bak");
        test::writeFile(decoy / "Corvane/notes.txt", "mine");
        const fs::path marked = sim.home() / "Corvane copy";
        sim.makeApp("0.8.0", marked / "Corvane.app.bak");
        test::writeFile(marked / ".corvane-setup-work", "install 1\n");
        // And one named like ours whose mark is of a kind this build does not know.
        const fs::path foreign = sim.home() / "0B1B2C3D-0000-4000-8000-000000000000";
        sim.makeApp("0.7.0", foreign / "Corvane.app.bak");
        test::writeFile(foreign / ".corvane-setup-work", "update 1\n");
        const auto decoysBefore = test::fileTree(sim.home());

        {
            test::ScopedEnv at("CORVANE_SIM_KILL_AT", step);
            test::ScopedEnv sig("CORVANE_SIM_KILL_SIGNAL", "KILL");
            ASSERT_EQ(platform::runProcess(CORVANE_INSTALL_DRIVER, {test::testImage().string()})
                          .exitStatus,
                      128 + SIGKILL);
        }

        ScopedLogCapture log;
        Installer::recoverInterruptedInstalls();
        EXPECT_TRUE(log.containsPrefix("Found the working folder of an interrupted install: "));
        if (after == After::oldApp) {
            EXPECT_EQ(test::fileTree(sim.app()), before);
        } else if (after == After::newApp) {
            EXPECT_EQ(sim.appVersion(), "2.0.0");
            EXPECT_TRUE(sim.appIsComplete());
        } else {
            EXPECT_FALSE(fs::exists(sim.app()));
        }
        EXPECT_EQ(test::entriesIn(sim.home()),
                  (Lines{decoy.filename(), foreign.filename(), "Corvane copy"}));
        EXPECT_EQ(test::fileTree(sim.home()), decoysBefore);
        EXPECT_TRUE(sim.attachedMountPoints().empty());

        // Asked at the install and once more to put root's backup back, never otherwise.
        EXPECT_EQ(sim.consentRequests().size(), had == Had::roots ? 2u : 0u);

        EXPECT_TRUE(install());
        EXPECT_EQ(sim.appVersion(), "2.0.0");
    }
}

TEST(InstallKilled, FoldersOfARunningSetupAreLeftAlone) {
    SimMac sim;
    test::AsMacUser user;
    sim.makeApp("1.0.0");
    const auto before = test::fileTree(sim.app());
    // A seed folder of the settings file whose run is over, though its process id (1) is alive:
    // the mark's lock, not the number, tells.
    const fs::path seed = sim.home() / "5EED0000-0000-4000-8000-000000000000";
    test::writeFile(seed / ".corvane-setup-work", "settings-seed 1\n");
    test::writeFile(seed / "Corvane/reg/common.ini", "");

    // Frozen right after the old app was moved aside: the run is alive and owns its folder.
    std::optional<test::TiedProcess> driver;
    {
        test::ScopedEnv at("CORVANE_SIM_KILL_AT", "backup");
        test::ScopedEnv sig("CORVANE_SIM_KILL_SIGNAL", "STOP");
        driver.emplace(
            std::vector<std::string>{CORVANE_INSTALL_DRIVER, test::testImage().string()});
    }
    const pid_t pid = driver->pid();
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
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
    driver->stop();
    Installer::recoverInterruptedInstalls();
    EXPECT_EQ(test::fileTree(sim.app()), before);
    EXPECT_TRUE(sim.tidy());
}

// The signature check of a copied application against the codesign stand-in, which must fail
// the way the real tool does.
class Signature : public ::testing::Test {
  protected:
    void SetUp() override { sim.makeApp("2.0.0"); }
    [[nodiscard]] std::string app() const { return sim.app().string(); }
    [[nodiscard]] std::string codesign() const {
        return (sim.root() / "usr/bin/codesign").string();
    }
    test::SimMac sim;
};

TEST_F(Signature, AnyChangeAfterSealingIsRefused) {
    struct Row {
        const char* what;
        std::function<void(const fs::path&)> change;
        std::string detail;  // the tool's line naming the problem; empty: valid
    };
    const std::vector<Row> rows = {
        {"nothing changed", [](const fs::path&) {}, ""},
        {"file changed",
         [](const fs::path& a) {
             test::writeFile(a / "Contents/MacOS/viewerapp",
                             test::readFile(a / "Contents/MacOS/viewerapp") + "id\n");
         },
         "file modified: " + app() + "/Contents/MacOS/viewerapp"},
        {"file added", [](const fs::path& a) { test::writeFile(a / "Contents/MacOS/extra", ""); },
         "file added: " + app() + "/Contents/MacOS/extra"},
        {"file removed", [](const fs::path& a) { fs::remove(a / "Contents/MacOS/perkpanel"); },
         "file missing: " + app() + "/Contents/MacOS/perkpanel"},
        {"never sealed", [](const fs::path& a) { fs::remove_all(a / "Contents/_CodeSignature"); },
         app() + ": code object is not signed at all"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(sim.app());
        sim.makeApp("2.0.0");
        row.change(sim.app());

        const auto r = platform::runProcess(codesign(), {"--verify", "--deep", "--strict", app()});
        EXPECT_EQ(r.exitStatus, row.detail.empty() ? 0 : 1);
        EXPECT_NE(r.output.find(row.detail), std::string::npos) << r.output;

        ScopedLogCapture log;
        EXPECT_EQ(checkCodeSignature(app()),
                  row.detail.empty() ? CodeSignature::trusted : CodeSignature::invalid);
        EXPECT_EQ(log.lines().size(), row.detail.empty() ? 0u : 1u);
        for (const auto& line : log.lines()) {
            EXPECT_TRUE(
                line.starts_with("Signature of the new application is not valid: " + app() + ": "))
                << line;
        }
    }
}

TEST_F(Signature, TeamComesFromTheDescriptionOnStandardError) {
    const auto q = [](const std::string& s) { return Installer::shellQuote(s); };
    const auto errOnly = platform::runProcess(
        "/bin/sh", {"-c", q(codesign()) + " -dv " + q(app()) + " 2>&1 >/dev/null"});
    EXPECT_TRUE(errOnly.succeeded());
    EXPECT_NE(errOnly.output.find("\nTeamIdentifier=" + std::string(expectedTeamId()) + "\n"),
              std::string::npos)
        << errOnly.output;
    EXPECT_EQ(errOnly.output.rfind("Executable=" + app() + "/Contents/MacOS/viewerapp\n", 0), 0u);

    struct Row {
        const char* what;
        std::string team;
        CodeSignature verdict;
        std::string line;
    };
    const std::vector<Row> rows = {
        {"another team", "OTHERTEAM1", CodeSignature::requirementUnmet,
         "The new application is not signed with a Developer ID certificate that Apple issued to "
         "team \"OTHERTEAM1\" (its signature names team \"" +
             std::string(expectedTeamId()) + "\"): " + app()},
        {"no team built in", "", CodeSignature::unchecked,
         "No usable team identifier is built in (\"\"), so the new application cannot be "
         "trusted: " +
             app()},
        {"a team that would change the requirement", "X\" or anchor trusted",
         CodeSignature::unchecked,
         "No usable team identifier is built in (\"X\" or anchor trusted\"), so the new "
         "application cannot be trusted: " +
             app()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedLogCapture log;
        EXPECT_EQ(checkCodeSignature(app(), row.team), row.verdict);
        EXPECT_EQ(log.lines(), Lines{row.line});
    }
}

// Integrity alone passes whatever certificate made the signature, as on a Mac; only the
// requirement tells Apple's Developer ID certificate of our team from the rest.
TEST_F(Signature, OnlyADeveloperIdFromTheAppleAnchorMeetsTheRequirement) {
    const std::string team(expectedTeamId());
    const std::string requirement = "-R=" + releaseRequirement(team);
    struct Row {
        const char* what;
        std::string team;
        const char* kind;
        int status;  // of codesign --verify with the requirement
    };
    const Row rows[] = {
        {"Developer ID of our team", team, "", 0},
        {"self-made certificate naming our team", team, "--self-made", 3},
        {"Apple Development certificate of our team", team, "--development", 3},
        {"Developer ID of another team", "FOREIGN99", "", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test::sign(sim.app(), row.team, row.kind);
        EXPECT_EQ(
            platform::runProcess(codesign(), {"--verify", "--deep", "--strict", app()}).exitStatus,
            0);
        const auto r = platform::runProcess(codesign(),
                                            {"--verify", "--deep", "--strict", requirement, app()});
        EXPECT_EQ(r.exitStatus, row.status) << r.output;
        ScopedLogCapture log;
        EXPECT_EQ(checkCodeSignature(app()),
                  row.status == 0 ? CodeSignature::trusted : CodeSignature::requirementUnmet);
    }
    // Without Apple's anchor in the root nothing is Apple's.
    test::sign(sim.app(), team);
    fs::remove(sim.root() / "System/Library/Security/AppleAnchor.pem");
    ScopedLogCapture log;
    EXPECT_EQ(checkCodeSignature(app()), CodeSignature::requirementUnmet);
}

TEST_F(Signature, MissingToolOrAppIsNeverTrusted) {
    {
        ScopedLogCapture log;
        EXPECT_EQ(checkCodeSignature(app() + "-gone"), CodeSignature::invalid);
        EXPECT_TRUE(log.contains("Signature of the new application is not valid: " + app() +
                                 "-gone: No such file or directory"));
    }
    fs::remove(sim.root() / "usr/bin/codesign");
    ScopedLogCapture log;
    EXPECT_EQ(checkCodeSignature(app()), CodeSignature::unchecked);
    EXPECT_TRUE(log.containsPrefix("Signature of the new application could not be checked: "));
}

}  // namespace
}  // namespace corvane
