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

TEST(ControlParsing, SectionsAndKeysLineByLine) {
    // No trimming, greedy brackets, later non-empty blocks win, only CR LF ends a line.
    const auto c = VoTallyControl::fromText(
        "orphan=1\n[common]\r\nproduct = 12\n[ spaced ]\nk=v\n"
        "[s]\na=b=c\n=skipped\n; note\n# a=b\nempty=\nrepeat=1\nrepeat=2\nk=a\rb\n"
        "x[a]b]y\nk=1\n[plain]\nk=[inner]\nafter=2\n[empty]\n"
        "[t]\nold=1\nboth=1\n[t]\nboth=2\nnew=2\n[t]\n[last]\nz=3\r");
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"common", "product ", " 12"},
        {" spaced ", "k", "v"},
        {"spaced", "k", "-"},
        {"s", "a", "b=c"},
        {"s", "# a", "b"},
        {"s", "empty", "-"},
        {"s", "repeat", "2"},
        {"s", "k", "a\rb"},
        {"s", "orphan", "-"},
        {"a]b", "k", "1"},
        {"inner", "after", "2"},
        {"t", "old", "-"},
        {"t", "both", "2"},
        {"t", "new", "2"},
        {"last", "z", "3\r"},
    };
    for (const auto& [section, key, value] : rows) {
        EXPECT_EQ(c.getPrivateProfileString(section, key, "-"), value) << section << "/" << key;
    }
    EXPECT_EQ(c.getProductId(), 0) << "'product ' is not 'product'";
    EXPECT_EQ(c.sections().count("plain"), 0u) << "its only key line opened a section instead";
    EXPECT_EQ(c.sections().count("empty"), 0u);
    EXPECT_EQ(c.sections().at("s").size(), 5u);
    EXPECT_EQ(VoTallyControl::fromText("[c]\nk=1\n[d]\nm=2\n").sections(),
              VoTallyControl::fromText("[c]\r\nk=1\r\n[d]\r\nm=2\r\n").sections());
}

TEST(ControlLookups, ServerUrlsAndPriorities) {
    const auto c = VoTallyControl::fromText(
        "[common]\nproduct=1044\nserver0=http://zero\nserver3=http://three\n"
        "[routed]\npriority=3\n[broken]\npriority=high\n");
    ScopedVoLogCapture log;
    EXPECT_EQ(c.getProductId(), 1044);
    EXPECT_EQ(c.getServerUrl(int64_t{0}), "http://zero");
    EXPECT_EQ(c.getServerUrl("routed"), "http://three");
    EXPECT_EQ(c.getPriority("routed"), 3);
    EXPECT_EQ(c.getPriority("broken"), VoTallyControl::DEFAULT_PRIORITY);
    EXPECT_EQ(c.getPriority("unknown"), 2);
    EXPECT_EQ(c.getServerUrl(int64_t{4}), "");
    EXPECT_TRUE(log.lines().empty()) << "a missing server other than 2 is silent";

    EXPECT_EQ(c.getServerUrl("unknown"), "");
    EXPECT_EQ(c.getServerUrl(int64_t{2}), "");
    EXPECT_EQ(log.lines(), std::vector<std::string>(
                               2, "[VoTally] VoTallyControl => ERROR: missing url for server2!!!"));
}

TEST(ControlResource, ReadFromTheBundleMissingIsSilentUnreadableIsLogged) {
    DeliveryWorld world;
    world.writeResource("vctrl.dat", "[common]\r\nproduct=77\r\nserver2=http://s2\r\n");
    ScopedVoLogCapture log;
    const VoTallyControl c(VCTRL_PATH);
    EXPECT_EQ(c.getProductId(), 77);
    EXPECT_EQ(c.getServerUrl("any"), "http://s2");
    EXPECT_TRUE(VoTallyControl("absent.dat").sections().empty());
    EXPECT_TRUE(log.lines().empty());

    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    std::filesystem::permissions(world.resources() / "vctrl.dat", std::filesystem::perms::none);
    EXPECT_TRUE(VoTallyControl(VCTRL_PATH).sections().empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[VoTally] VoTallyControl => ERROR: load "
                                                    "vctrl failed!!! error:Permission denied"});
}

}  // namespace
}  // namespace tally
