// The install record in a temporary home folder: the first run that makes the settings file,
// the package facts read from the bundle's name, identities, and what fresh and overwrite
// installs write (and do not write again).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/log.h"
#include "setup/globals.h"
#include "setup/installer.h"
#include "setup/reg_editer.h"
#include "support/test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::ScopedLogCapture;
using test::readFile;
using test::ScopedEnv;
using test::writeFile;
using Keys = std::map<std::string, std::string>;

int64_t now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class InstallRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(home());
        mHome.emplace("HOME", home().string());
        useBundle("Corvane_v2.1.0.5_ab12_101.202.3.4.app");
        resetCommonFilePathForTesting();
    }
    void TearDown() override { resetCommonFilePathForTesting(); }

    fs::path home() const { return mDir / "home"; }
    fs::path support() const { return home() / "Library/Application Support"; }
    fs::path ini() const { return support() / "Corvane/reg/common.ini"; }
    void useBundle(const std::string& name) {
        mBundle.reset();
        mBundle.emplace("CORVANE_BUNDLE", (mDir / name).string());
    }
    std::vector<std::string> homeEntries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(home())) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }
    std::string key(const std::string& name) const {
        return RegEditer::getIniValueWithGroup("product/" + name, "<absent>", ini().string());
    }
    Keys allKeys() const {
        Keys values;
        for (const char* k :
             {"setDefault", "engageService", "version", "shortCode", "tid1", "tid2", "tod1", "tod2",
              "cover_install", "cover_installtime", "installtime", "generated", "uuid", "svrid"}) {
            values[k] = key(k);
        }
        return values;
    }
    // Removes the time key `name` after checking that it lies in [from, now()].
    void takeTime(Keys& keys, const std::string& name, int64_t from) const {
        const int64_t t = std::stoll(keys[name]);
        EXPECT_GE(t, from) << name;
        EXPECT_LE(t, now()) << name;
        keys.erase(name);
    }

    test::TempDir mDir;
    std::optional<ScopedEnv> mHome;
    std::optional<ScopedEnv> mBundle;
};

// Whatever part of the settings file's folder is missing is made, nothing that exists is
// touched, and no seed folder is left in the home folder.
TEST_F(InstallRecordTest, FirstRunMakesOnlyWhatIsMissing) {
    const std::pair<std::string, std::string> existing[] = {
        {"../Preferences/other.plist", "no Corvane folder yet"},
        {"Corvane/keep.txt", "kept"},
        {"Corvane/reg/other.ini", "[x]\ny=1\n"},
        {"Corvane/reg/common.ini", "[product]\ngenerated=1\n"},
    };
    for (const auto& [name, contents] : existing) {
        SCOPED_TRACE(name);
        fs::remove_all(home());
        fs::create_directories(home());
        writeFile(support() / name, contents);
        ScopedLogCapture log;
        Installer::ensureIniFileExisted();
        ASSERT_TRUE(fs::is_regular_file(ini()));
        EXPECT_EQ(readFile(ini()), support() / name == ini() ? contents : "");
        EXPECT_EQ(readFile(support() / name), contents);
        EXPECT_EQ(homeEntries(), std::vector<std::string>{"Library"});
    }
}

TEST_F(InstallRecordTest, UnusableHomeIsLoggedAndNothingIsMade) {
    writeFile(mDir / "home-file", "not a folder");
    ScopedEnv fileHome("HOME", (mDir / "home-file").string());
    ScopedLogCapture log;
    Installer::ensureIniFileExisted();
    EXPECT_TRUE(log.containsPrefix("Error creating directory: "))
        << ::testing::PrintToString(log.lines());
    EXPECT_EQ(readFile(mDir / "home-file"), "not a folder");
}

// Each case starts from a record holding "old" facts, so unchanged fields show.
TEST_F(InstallRecordTest, BundleNamesGiveThePackageFacts) {
    using Facts = std::tuple<std::string, std::string, int64_t, int64_t, int64_t, int64_t>;
    const std::pair<std::string, Facts> cases[] = {
        {"Corvane_v2.1.0.5_ab12_101.202.3.4", {"2.1.0.5", "ab12", 101, 202, 3, 4}},
        {"Corvane_v2.1.0.5_ab12_101.202.3.4 (1)", {"2.1.0.5", "ab12", 101, 202, 3, 4}},
        {"Corvane_v2.1.0.5_ab12_101.202.3.x (1)", {"2.1.0.5", "ab12", 101, 202, 3, 1}},
        {"Corvane_v2.1.0.5_ab12_101.202.3.x", {"2.1.0.5", "ab12", 101, 202, 3, 0}},
        {"Corvane_2.1_ab12_1.2.3.4", {"2.1", "ab12", 1, 2, 3, 4}},
        {"Corvane_rev2v3_ab12_1.2.3.4", {"3", "ab12", 1, 2, 3, 4}},
        {"Corvane_v2_ab12_+7.-8.99999999999999999999.4", {"2", "ab12", 7, -8, 0, 4}},
        {"Corvane_v2_ab12_1 2.2.3.4", {"2", "ab12", 0, 2, 3, 4}},
        {"Corvane_v2_ab12_1.2.3.4_extra", {"2", "ab12", 1, 2, 3, 4}},
        {"Corvane_v2_ab12_1..3.4", {"2", "ab12", 1, 0, 3, 4}},
        // Too few numbers: version and short code only.
        {"Corvane_v2.1_ab12_1.2.3", {"2.1", "ab12", -1, -1, -1, -1}},
        // Too few pieces: nothing changes.
        {"Corvane_v2.1_ab12", {"old", "old", -1, -1, -1, -1}},
        {"Corvane", {"old", "old", -1, -1, -1, -1}},
    };
    for (const auto& [name, facts] : cases) {
        SCOPED_TRACE(name);
        useBundle(name + ".app");
        ReportBlock block;
        block.version = block.shortCode = "old";
        block.tid1 = block.tid2 = block.tod1 = block.tod2 = -1;
        ScopedLogCapture log;
        Installer::getPackageInfo(block);
        EXPECT_EQ(std::tie(block.version, block.shortCode, block.tid1, block.tid2, block.tod1,
                           block.tod2),
                  facts);
        EXPECT_TRUE(log.contains("应用程序名称：" + name));
        EXPECT_EQ(std::tie(block.bSilent, block.bCoverInstall, block.installtime),
                  std::make_tuple(false, false, std::string()));
    }
}

TEST_F(InstallRecordTest, BundleWithoutANameIsLogged) {
    ScopedEnv root("CORVANE_BUNDLE", "/");
    ReportBlock block;
    ScopedLogCapture log;
    Installer::getPackageInfo(block);
    EXPECT_TRUE(log.contains("无法获取应用程序名称"));
    EXPECT_EQ(block.version, "");
}

TEST_F(InstallRecordTest, WithoutApplicationSupportNothingIsReadOrWritten) {
    ScopedEnv noHome("HOME", std::nullopt);
    ReportBlock block;
    block.uuid = "kept";
    ScopedLogCapture log;
    Installer::getPackageInfo(block);
    Installer::setDefault("1");
    Installer::installService();
    Installer::recordPackageDetail(block, false);
    Installer::recordPackageDetail(block, true);
    EXPECT_EQ(block.uuid, "kept");
    EXPECT_EQ(block.version, "2.1.0.5");
    EXPECT_TRUE(log.contains("Failed to access AppDataLocation."));
    EXPECT_FALSE(log.containsPrefix("get appDataPath"));
    EXPECT_FALSE(log.containsPrefix("File updated"));
    EXPECT_TRUE(log.containsPrefix("completely installation with："));
    EXPECT_TRUE(log.contains("overwrite installation with：[\"product/cover_install\": \"1\"]"));
}

// Until a fresh install stores one identity for both ids, each run makes its own; the next run
// reports the stored one; a later install over it only marks cover_install and its time.
TEST_F(InstallRecordTest, FreshThenOverwriteInstallWriteTheirKeys) {
    Installer::ensureIniFileExisted();
    ScopedLogCapture log;
    ReportBlock block;
    ReportBlock other;
    Installer::getPackageInfo(block);
    Installer::getPackageInfo(other);
    EXPECT_EQ(log.lines().front(), "get appDataPath " + ini().string());
    EXPECT_TRUE(std::regex_match(block.uuid, std::regex("[0-9a-f]{32}"))) << block.uuid;
    EXPECT_EQ(block.svrid, block.uuid);
    EXPECT_NE(other.uuid, block.uuid);
    const int64_t freshStart = now();
    Installer::setDefault("1");
    Installer::installService();
    Installer::recordPackageDetail(block, false);
    EXPECT_TRUE(log.contains(
        "completely installation with：[\"product/version\": \"2.1.0.5\", \"product/shortCode\": "
        "\"ab12\", \"product/tid1\": \"101\", \"product/tid2\": \"202\", \"product/tod1\": "
        "\"3\", \"product/tod2\": \"4\", \"product/cover_install\": \"0\"]"));
    Keys fresh = allKeys();
    takeTime(fresh, "installtime", freshStart);
    EXPECT_EQ(fresh, (Keys{{"setDefault", "1"},
                           {"engageService", "1"},
                           {"version", "2.1.0.5"},
                           {"shortCode", "ab12"},
                           {"tid1", "101"},
                           {"tid2", "202"},
                           {"tod1", "3"},
                           {"tod2", "4"},
                           {"cover_install", "0"},
                           {"cover_installtime", "<absent>"},
                           {"generated", "1"},
                           {"uuid", block.uuid},
                           {"svrid", block.svrid}}));
    // The file starts empty, so the group follows an empty first line.
    EXPECT_TRUE(readFile(ini()).starts_with("\n[product]\nsetDefault=1\n"));

    useBundle("Corvane_v9.9_other_9.9.9.9.app");
    ReportBlock later;
    Installer::getPackageInfo(later);
    EXPECT_EQ(std::tie(later.uuid, later.svrid), std::tie(block.uuid, block.svrid));
    Keys before = allKeys();
    const int64_t coverStart = now();
    log.clear();
    Installer::recordPackageDetail(later, true);
    EXPECT_EQ(log.lines().front(),
              "overwrite installation with：[\"product/cover_install\": \"1\"]");
    Keys after = allKeys();
    takeTime(after, "cover_installtime", coverStart);
    before.erase("cover_installtime");
    before["cover_install"] = "1";
    EXPECT_EQ(after, before);
}

// Identities that a fresh install once stored (uuid and svrid apart) are reported by every run
// and never written again, while the package facts are.
TEST_F(InstallRecordTest, StoredIdentityIsReadAndNeverRewritten) {
    writeFile(ini(), "[product]\ngenerated=1\nuuid=aaaa\nsvrid=bbbb\n");
    useBundle("Corvane_v3.0_zz99_5.6.7.8.app");
    ReportBlock block;
    Installer::getPackageInfo(block);
    EXPECT_EQ(std::tie(block.uuid, block.svrid), std::tie("aaaa", "bbbb"));
    block.uuid = block.svrid = "should-not-be-written";
    Installer::recordPackageDetail(block, false);
    EXPECT_EQ(key("version"), "3.0");
    EXPECT_EQ(key("tod2"), "8");
    EXPECT_EQ(key("uuid"), "aaaa");
    EXPECT_EQ(key("svrid"), "bbbb");
}

// Something at the settings path that is no settings file: the start-up and the record neither
// hang nor read it, the run reports a new identity, and nothing is written.
TEST_F(InstallRecordTest, FifoOrHugeFileAtTheSettingsPathIsNeitherReadNorWritten) {
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "huge file");
        fs::remove_all(support());
        fs::create_directories(ini().parent_path());
        if (fifo) {
            ASSERT_EQ(::mkfifo(ini().c_str(), 0644), 0);
        } else {
            writeFile(ini(), "[product]\ngenerated=1\nuuid=stored\n");
            fs::resize_file(ini(), RegEditer::kMaxFileSize + 1);
        }
        ScopedLogCapture log;
        Installer::ensureIniFileExisted();
        ReportBlock block;
        Installer::getPackageInfo(block);
        EXPECT_EQ(block.uuid.size(), 32u);
        EXPECT_EQ(block.svrid, block.uuid);
        EXPECT_EQ(block.version, "2.1.0.5");
        Installer::setDefault("1");
        Installer::recordPackageDetail(block, false);
        EXPECT_FALSE(log.contains("File updated successfully"));
        EXPECT_EQ(fs::is_fifo(ini()), fifo);
        if (!fifo) {
            EXPECT_EQ(fs::file_size(ini()), RegEditer::kMaxFileSize + 1);
        }
    }
}

// Corvane holding the writers' lock for ever: the record gives up after one wait for all its
// keys (not one per key), every key says why, and the file is left as it was.
TEST_F(InstallRecordTest, HeldLockCostsTheRecordOneWaitAndWritesNothing) {
    writeFile(ini(), "[product]\n");
    const std::string lockPath = ini().string() + std::string(RegEditer::kLockSuffix);
    const int holder = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    ReportBlock block;
    ScopedLogCapture log;
    const auto start = std::chrono::steady_clock::now();
    Installer::recordPackageDetail(block, false);
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(holder);
    const std::vector<std::string> lines = log.lines();
    const auto failures = std::count(lines.begin(), lines.end(),
                                     "Failed to write the file: " + lockPath +
                                         ": another writer held the lock for more than 3 seconds");
    EXPECT_EQ(failures, 11);  // 7 facts, generated, uuid, svrid, installtime
    EXPECT_LT(took, 4 * RegEditer::kLockWait);
    EXPECT_EQ(readFile(ini()), "[product]\n");
}

}  // namespace
}  // namespace corvane
