// Machine identity and the OS version probe. The probe runs a real stand-in sw_vers found
// through PATH, which counts how often it was asked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "setup/os_version.h"
#include "setup/uuid_generater.h"
#include "support/test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::ScopedLogCapture;
using test::readFile;
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;

bool isLowerHex32(const std::string& s) {
    return s.size() == 32 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// ---- Identity ----

TEST(AssembleUUID, EveryCallGivesANewLowerCaseDigest) {
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        const std::string id = assembleUUID();
        ASSERT_TRUE(isLowerHex32(id)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 500u);
}

TEST(AssembleUUID, SourceHoldsTheFivePiecesInOrder) {
    TempDir home;
    ScopedEnv homeEnv("HOME", home.str());
    const std::time_t before = std::time(nullptr);
    const std::string s = assembleUUIDSource();
    const std::time_t after = std::time(nullptr);

    // random, UUID, SSSMMddyyyyHHmmss, host digest, free bytes
    static const std::regex kShape(
        "([0-9]{5})([0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15})([0-9]{3})([0-9]{2})([0-9]{2})"
        "([0-9]{4})([0-9]{2})([0-9]{2})([0-9]{2})([0-9a-f]{32})([0-9]{10,})");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s, m, kShape)) << s;

    std::tm local{};
    localtime_r(&before, &local);
    const int year = std::stoi(m[6]);
    EXPECT_TRUE(year == local.tm_year + 1900 || year == local.tm_year + 1901) << s;
    EXPECT_LE(std::stoi(m[4]), 12);
    EXPECT_LE(std::stoi(m[7]), 23);
    const auto stamp = [&](std::time_t t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%m%d%Y%H%M%S", &tm);
        return std::string(buf);
    };
    const std::string got = s.substr(5 + 32 + 3, 14);
    bool matched = false;
    for (std::time_t t = before; t <= after; ++t) {
        matched = matched || got == stamp(t);
    }
    EXPECT_TRUE(matched) << got;

    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(m[10].str(), md5Hex(normalizedHostName(host)));
}

TEST(AssembleUUID, FreeSpaceIsLeftOutWhenTheHomeVolumeCannotBeRead) {
    TempDir dir;
    ScopedEnv homeEnv("HOME", (dir / "no-such-home").string());
    const std::string s = assembleUUIDSource();
    EXPECT_EQ(s.size(), 5u + 32u + 17u + 32u) << s;
    EXPECT_TRUE(isLowerHex32(assembleUUID()));
}

TEST(AssembleUUID, Md5MatchesRfc1321Vectors) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(
        md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
        "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(AssembleUUID, HostNameIsLowerCasedBeforeMacIsCapitalised) {
    EXPECT_EQ(normalizedHostName("Johns-MacBook-Pro.local"), "johns-Macbook-pro.local");
    EXPECT_EQ(normalizedHostName("MAC"), "Mac");
    EXPECT_EQ(normalizedHostName("mAcMaC"), "MacMac");
    EXPECT_EQ(normalizedHostName("tomacat"), "toMacat");
    EXPECT_EQ(normalizedHostName("mmacc"), "mMacc");
    EXPECT_EQ(normalizedHostName("m-a-c"), "m-a-c");
    EXPECT_EQ(normalizedHostName("Unknown"), "unknown");
    EXPECT_EQ(normalizedHostName(""), "");
}

// ---- OS version ----

// A sw_vers stand-in in a folder put first on PATH: prints the bytes of `answer`, exits with
// `status`, and appends one line per run to a counter file.
class OsVersionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MacOSVersion::resetForTesting();
        mPath.emplace("PATH", mDir.str() + ":" + std::string(std::getenv("PATH")));
    }
    void TearDown() override { MacOSVersion::resetForTesting(); }

    void tool(const std::string& answer, int status = 0, const std::string& warning = "") {
        writeFile(mDir / "answer", answer);
        writeFile(mDir / "warning", warning);
        const fs::path script = mDir / "sw_vers";
        writeFile(script,
                  "#!/bin/sh\n"
                  "[ \"$1\" = -productVersion ] || exit 64\n"
                  "echo run >> '" +
                      (mDir / "runs").string() +
                      "'\n"
                      "cat '" +
                      (mDir / "warning").string() +
                      "' >&2\n"
                      "cat '" +
                      (mDir / "answer").string() +
                      "'\n"
                      "exit " +
                      std::to_string(status) + "\n");
        fs::permissions(script, fs::perms::owner_all);
    }
    int runs() const {
        if (!fs::exists(mDir / "runs")) {
            return 0;
        }
        const std::string text = readFile(mDir / "runs");
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    TempDir mDir;
    std::optional<ScopedEnv> mPath;
};

TEST_F(OsVersionTest, VersionTextsGiveMajorAndCombinedVersion) {
    struct Case {
        std::string answer;
        int status;
        std::string text;
        int main;
        int64_t combined;
    };
    const Case cases[] = {
        {"14.5\n", 0, "14.5", 14, 1405},
        {"10.15.7\n", 0, "10.15.7", 10, 1015},
        {"15\n", 0, "15", 15, 1500},
        {"  13.6.1 \r\n", 0, "13.6.1", 13, 1306},
        {"14..5\n", 0, "14..5", 14, 1405},
        {"abc.1\n", 0, "abc.1", 0, 0},
        {"14.x\n", 0, "14.x", 14, 0},
        {"300.1\n", 0, "300.1", 0, 30001},
        {"-3.1\n", 0, "-3.1", 0, 0},
        // Numbers whose combination would overflow are not numbers to us.
        {"99999999999999999.1\n", 0, "99999999999999999.1", 0, 0},
        // Nothing usable: 0 and 0, so the probe still counts as done.
        {"", 0, "", 0, 0},
        {"\n", 0, "", 0, 0},
        {"\xff\xfe"
         "14.5\n",
         0, "", 0, 0},
        // A failing tool's output is its complaint, not a version.
        {"sw_vers: broken 14.5\n", 3, "", 0, 0},
    };
    for (const Case& c : cases) {
        MacOSVersion::resetForTesting();
        tool(c.answer, c.status);
        ScopedLogCapture log;
        MacOSVersion::updateOsVersion();
        EXPECT_EQ(MacOSVersion::gStrMacOSVersion(), c.text) << c.answer;
        EXPECT_EQ(MacOSVersion::gMainOSVersion(), c.main) << c.answer;
        EXPECT_EQ(MacOSVersion::gNMacOSVersion(), c.combined) << c.answer;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"os_version: " + c.text + ", main_ver: " +
                                                        std::to_string(c.combined)});
    }
}

// Only standard output is the answer: a warning on standard error must not become the version.
TEST_F(OsVersionTest, WarningOnStandardErrorIsNotPartOfTheVersion) {
    tool("14.5\n", 0, "sw_vers: warning: 99.1 settings ignored\n");
    ScopedLogCapture log;
    MacOSVersion::updateOsVersion();
    EXPECT_EQ(MacOSVersion::gStrMacOSVersion(), "14.5");
    EXPECT_EQ(MacOSVersion::gNMacOSVersion(), 1405);
}

TEST_F(OsVersionTest, ProbeRunsOncePerProcess) {
    tool("10.15.7\n");
    EXPECT_EQ(MacOSVersion::gNMacOSVersion(), -1);
    EXPECT_EQ(MacOSVersion::gMainOSVersion(), 0);
    {
        ScopedLogCapture log;
        MacOSVersion::ensureProbed();
        MacOSVersion::ensureProbed();
        MacOSVersion::ensureProbed();
        EXPECT_EQ(log.lines(), std::vector<std::string>{"os_version: 10.15.7, main_ver: 1015"});
    }
    EXPECT_EQ(runs(), 1);
    EXPECT_EQ(MacOSVersion::gMainOSVersion(), 10);

    // An empty answer counts as probed too.
    MacOSVersion::resetForTesting();
    tool("");
    {
        ScopedLogCapture quiet;
        MacOSVersion::ensureProbed();
        MacOSVersion::ensureProbed();
    }
    EXPECT_EQ(runs(), 2);
    EXPECT_EQ(MacOSVersion::gNMacOSVersion(), 0);
}

TEST_F(OsVersionTest, ThreadsAskingTogetherShareOneProbe) {
    tool("14.5\n");
    ScopedLogCapture quiet;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([] { MacOSVersion::ensureProbed(); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(runs(), 1);
    EXPECT_EQ(MacOSVersion::gNMacOSVersion(), 1405);
}

TEST_F(OsVersionTest, MissingToolGivesZeroAndZero) {
    mPath.reset();
    mPath.emplace("PATH", mDir.str());  // no sw_vers anywhere
    ScopedLogCapture log;
    MacOSVersion::ensureProbed();
    EXPECT_EQ(MacOSVersion::gMainOSVersion(), 0);
    EXPECT_EQ(MacOSVersion::gNMacOSVersion(), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"os_version: , main_ver: 0"});
}

}  // namespace
}  // namespace corvane
