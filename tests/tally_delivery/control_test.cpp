// The control file: how lines become sections and keys, and the lookups built on them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "delivery_support.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_control.h"

namespace tally {
namespace {

using test::DeliveryWorld;

TEST(ControlParsing, CrLfAndLfGiveTheSameSections) {
    const auto lf = VoTallyControl::fromText("[common]\nproduct=12\nserver2=x\n[t]\npriority=3\n");
    const auto crlf =
        VoTallyControl::fromText("[common]\r\nproduct=12\r\nserver2=x\r\n[t]\r\npriority=3\r\n");
    EXPECT_EQ(lf.sections(), crlf.sections());
    EXPECT_EQ(crlf.getProductId(), 12);
    EXPECT_EQ(crlf.getServerUrl(int64_t{2}), "x");
    EXPECT_EQ(crlf.getPriority("t"), 3);
}

TEST(ControlParsing, NothingIsTrimmed) {
    const auto c = VoTallyControl::fromText("[common]\nproduct = 12\n[ spaced ]\nk=v\n");
    EXPECT_EQ(c.getProductId(), 0);
    EXPECT_EQ(c.getPrivateProfileString("common", "product ", "-"), " 12");
    EXPECT_EQ(c.getPrivateProfileString(" spaced ", "k", "-"), "v");
    EXPECT_EQ(c.getPrivateProfileString("spaced", "k", "-"), "-");
}

TEST(ControlParsing, KeyLines) {
    const auto c = VoTallyControl::fromText(
        "orphan=1\n[s]\na=b=c\n=skipped\n; note\n# a=b\nempty=\nrepeat=1\nrepeat=2\n");
    EXPECT_EQ(c.getPrivateProfileString("s", "a", "-"), "b=c");
    EXPECT_EQ(c.getPrivateProfileString("s", "# a", "-"), "b");
    EXPECT_EQ(c.getPrivateProfileString("s", "empty", "dflt"), "dflt");
    EXPECT_EQ(c.getPrivateProfileString("s", "repeat", "-"), "2");
    EXPECT_EQ(c.getPrivateProfileString("s", "orphan", "-"), "-");
    const VoTallyControl::Section expected = {
        {"a", "b=c"}, {"# a", "b"}, {"empty", ""}, {"repeat", "2"}};
    EXPECT_EQ(c.sections().at("s"), expected);
    EXPECT_EQ(c.sections().size(), 1u);
}

TEST(ControlParsing, SectionLines) {
    // Greedy brackets; text around them does not matter; a value in brackets opens a section.
    const auto c =
        VoTallyControl::fromText("x[a]b]y\nk=1\n[plain]\nk=[inner]\nafter=2\n[empty]\n[last]\nz=3");
    EXPECT_EQ(c.getPrivateProfileString("a]b", "k", "-"), "1");
    EXPECT_EQ(c.getPrivateProfileString("inner", "after", "-"), "2");
    EXPECT_EQ(c.sections().count("plain"), 0u);  // its only key line opened a section instead
    EXPECT_EQ(c.sections().count("empty"), 0u);
    EXPECT_EQ(c.getPrivateProfileString("empty", "k", "dflt"), "dflt");
    EXPECT_EQ(c.getPrivateProfileString("last", "z", "-"), "3");  // no final line break
}

TEST(ControlParsing, LaterBlockWinsUnlessEmpty) {
    const auto c = VoTallyControl::fromText("[s]\nold=1\nboth=1\n[s]\nboth=2\nnew=2\n[s]\n");
    EXPECT_EQ(c.getPrivateProfileString("s", "old", "dflt"), "dflt");
    EXPECT_EQ(c.getPrivateProfileString("s", "both", "-"), "2");
    EXPECT_EQ(c.getPrivateProfileString("s", "new", "-"), "2");
}

TEST(ControlParsing, LoneCarriageReturnIsPartOfTheLine) {
    const auto c = VoTallyControl::fromText("[s]\nk=a\rb\nend=x\r");
    EXPECT_EQ(c.getPrivateProfileString("s", "k", "-"), "a\rb");
    EXPECT_EQ(c.getPrivateProfileString("s", "end", "-"), "x\r");
}

TEST(ControlLookups, IntegerRules) {
    const auto c = VoTallyControl::fromText(
        "[n]\na=42\nb=+42\nc=-7\nd=4 2\ne=12abc\nf=+\ng=9223372036854775807\n"
        "h=9223372036854775808\ni=-9223372036854775808\nj=-9223372036854775809\nk= 1\n");
    EXPECT_EQ(c.getPrivateProfileInt("n", "a", 5), 42);
    EXPECT_EQ(c.getPrivateProfileInt("n", "b", 5), 42);
    EXPECT_EQ(c.getPrivateProfileInt("n", "c", 5), -7);
    EXPECT_EQ(c.getPrivateProfileInt("n", "d", 5), 5);
    EXPECT_EQ(c.getPrivateProfileInt("n", "e", 5), 5);
    EXPECT_EQ(c.getPrivateProfileInt("n", "f", 5), 5);
    EXPECT_EQ(c.getPrivateProfileInt("n", "g", 5), INT64_MAX);
    EXPECT_EQ(c.getPrivateProfileInt("n", "h", 5), 5);
    EXPECT_EQ(c.getPrivateProfileInt("n", "i", 5), INT64_MIN);
    EXPECT_EQ(c.getPrivateProfileInt("n", "j", 5), 5);
    EXPECT_EQ(c.getPrivateProfileInt("n", "k", 5), 5);
    EXPECT_EQ(c.getPrivateProfileInt("n", "missing", -3), -3);
    EXPECT_EQ(c.getPrivateProfileInt("nosection", "a", 9), 9);
}

TEST(ControlLookups, ServerUrlsAndPriorities) {
    const auto c = VoTallyControl::fromText(
        "[common]\nproduct=1044\nserver0=http://zero\nserver3=http://three\n"
        "[routed]\npriority=3\n[broken]\npriority=high\n");
    ScopedVoLogCapture log;
    EXPECT_EQ(c.getServerUrl(int64_t{0}), "http://zero");
    EXPECT_EQ(c.getServerUrl("routed"), "http://three");
    EXPECT_EQ(c.getPriority("routed"), 3);
    EXPECT_EQ(c.getPriority("broken"), VoTallyControl::DEFAULT_PRIORITY);
    EXPECT_EQ(c.getPriority("unknown"), 2);
    EXPECT_EQ(c.getServerUrl(int64_t{4}), "");
    EXPECT_TRUE(log.lines().empty()) << "a missing server other than 2 is silent";

    EXPECT_EQ(c.getServerUrl("unknown"), "");
    EXPECT_EQ(c.getServerUrl(int64_t{2}), "");
    const std::vector<std::string> expected(
        2, "[VoTally] VoTallyControl => ERROR: missing url for server2!!!");
    EXPECT_EQ(log.lines(), expected);
}

TEST(ControlResource, ReadFromTheBundleResources) {
    DeliveryWorld world;
    world.writeResource("vctrl.dat", "[common]\r\nproduct=77\r\nserver2=http://s2\r\n");
    ScopedVoLogCapture log;
    const VoTallyControl c(VCTRL_PATH);
    EXPECT_EQ(c.getProductId(), 77);
    EXPECT_EQ(c.getServerUrl("any"), "http://s2");

    const VoTallyControl missing("absent.dat");
    EXPECT_TRUE(missing.sections().empty());
    EXPECT_EQ(missing.getProductId(), 0);
    EXPECT_TRUE(log.lines().empty()) << "a missing resource is silent";
}

TEST(ControlResource, UnreadableFileIsLogged) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    DeliveryWorld world;
    world.writeResource("vctrl.dat", "[common]\nproduct=1\n");
    std::filesystem::permissions(world.resources() / "vctrl.dat", std::filesystem::perms::none);
    ScopedVoLogCapture log;
    const VoTallyControl c(VCTRL_PATH);
    EXPECT_TRUE(c.sections().empty());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0],
              "[VoTally] VoTallyControl => ERROR: load vctrl failed!!! error:Permission denied");
}

}  // namespace
}  // namespace tally
