// Machine identity and the OS version probe. The probe runs a real stand-in sw_vers found
// through PATH, which counts how often it was asked.
#include <gtest/gtest.h>
#include <unistd.h>

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
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;

const std::regex kLowerHex32("[0-9a-f]{32}");

TEST(AssembleUUID, EveryCallGivesANewLowerCaseDigest) {
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        const std::string id = assembleUUID();
        ASSERT_TRUE(std::regex_match(id, kLowerHex32)) << id;
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

    // random, UUID (version 4), SSS + MMddyyyyHHmmss, host digest, free bytes
    static const std::regex kShape(
        "[0-9]{5}[0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15}[0-9]{3}([0-9]{14})([0-9a-f]{32})"
        "[0-9]{10,}");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s, m, kShape)) << s;
    const auto stamp = [](std::time_t t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%m%d%Y%H%M%S", &tm);
        return std::string(buf);
    };
    EXPECT_TRUE(m[1] == stamp(before) || m[1] == stamp(after)) << s;

    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(m[2].str(), md5Hex(normalizedHostName(host)));
}

TEST(AssembleUUID, FreeSpaceIsLeftOutWhenTheHomeVolumeCannotBeRead) {
    TempDir dir;
    ScopedEnv homeEnv("HOME", (dir / "no-such-home").string());
    const std::string s = assembleUUIDSource();
    EXPECT_EQ(s.size(), 5u + 32u + 17u + 32u) << s;
}

TEST(AssembleUUID, Md5MatchesRfc1321Vectors) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(
        md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
        "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(AssembleUUID, HostNameIsLowerCasedBeforeMacIsCapitalised) {
    EXPECT_EQ(normalizedHostName("Johns-MacBook-Pro.local"), "johns-Macbook-pro.local");
    EXPECT_EQ(normalizedHostName("mAcMaC"), "MacMac");
    EXPECT_EQ(normalizedHostName("tomacat"), "toMacat");
    EXPECT_EQ(normalizedHostName("mmacc"), "mMacc");
    EXPECT_EQ(normalizedHostName("m-a-c"), "m-a-c");
}

// A sw_vers stand-in in a folder put first on PATH: prints the bytes of the file "answer" on
// standard output and those of "warning" on standard error, exits with the status in "status",
// and appends one line per run to "runs".
class OsVersionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MacOSVersion::resetForTesting();
        writeFile(mDir / "sw_vers", R"(#!/bin/sh
[ "$1" = -productVersion ] || exit 64
d=$(dirname "$0"); echo >> "$d/runs"; cat "$d/warning" >&2; cat "$d/answer"
exit $(cat "$d/status")
)");
        fs::permissions(mDir / "sw_vers", fs::perms::owner_all);
        tool("");
        mPath.emplace("PATH", mDir.str() + ":" + std::string(std::getenv("PATH")));
    }
    void TearDown() override { MacOSVersion::resetForTesting(); }

    void tool(const std::string& answer, int status = 0, const std::string& warning = "") {
        writeFile(mDir / "answer", answer);
        writeFile(mDir / "warning", warning);
        writeFile(mDir / "status", std::to_string(status));
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
        std::string warning{};
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
        // A warning on standard error is not the answer.
        {"14.5\n", 0, "14.5", 14, 1405, "sw_vers: warning: 99.1 settings ignored\n"},
        // No sw_vers on PATH at all (status -1: the stand-in is removed).
        {"14.5\n", -1, "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.answer));
        MacOSVersion::resetForTesting();
        tool(c.answer, c.status, c.warning);
        if (c.status < 0) {
            fs::remove(mDir / "sw_vers");
            mPath.reset();
            mPath.emplace("PATH", mDir.str());
        }
        ScopedLogCapture log;
        MacOSVersion::updateOsVersion();
        EXPECT_EQ(MacOSVersion::gStrMacOSVersion(), c.text);
        EXPECT_EQ(MacOSVersion::gMainOSVersion(), c.main);
        EXPECT_EQ(MacOSVersion::gNMacOSVersion(), c.combined);
        EXPECT_EQ(log.lines(), std::vector<std::string>{"os_version: " + c.text + ", main_ver: " +
                                                        std::to_string(c.combined)});
    }
}

// Threads asking together share one probe, and later asks reuse it.
TEST_F(OsVersionTest, ProbeRunsOncePerProcess) {
    tool("10.15.7\n");
    EXPECT_EQ(MacOSVersion::gNMacOSVersion(), -1);
    {
        ScopedLogCapture log;
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([] { MacOSVersion::ensureProbed(); });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        MacOSVersion::ensureProbed();
        EXPECT_EQ(log.lines(), std::vector<std::string>{"os_version: 10.15.7, main_ver: 1015"});
    }
    EXPECT_EQ(fs::file_size(mDir / "runs"), 1u);
    EXPECT_EQ(MacOSVersion::gMainOSVersion(), 10);
}

}  // namespace
}  // namespace corvane
