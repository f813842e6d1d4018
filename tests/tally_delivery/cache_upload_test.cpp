// Upload runs of the offline cache against the reference collector.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "delivery_support.h"
#include "tally/vo_data_cache.h"
#include "tally/vo_http_poster.h"
#include "tally/vo_tally_control.h"

namespace tally {
namespace {

using namespace std::chrono_literals;
using test::CollectorProcess;
using test::DeliveryWorld;
using test::namesIn;

class CacheUpload : public ::testing::Test {
  protected:
    void startCollector(const std::vector<std::string>& args) {
        collector =
            std::make_unique<CollectorProcess>(world.vfmtPath(), world.dir() / "store.db", args);
        ASSERT_TRUE(collector->running()) << collector->log();
        control.emplace(VoTallyControl::fromText(
            test::controlText(1044, {{2, collector->url("/p2")}, {3, collector->url("/p3")}},
                              "[pallo_routed]\npriority=3\n")));
    }

    // One upload run at the cache's current time, with every outcome applied.
    void runUpload() {
        cache.postCacheFiles(*control, poster);
        ASSERT_TRUE(poster.waitUntilIdle(60s));
        world.loop().drain();
    }

    DeliveryWorld world;
    int64_t now = 1700000000;
    // Stopped after the poster is gone: the collector then has no open connection to wait out.
    std::unique_ptr<CollectorProcess> collector;
    VoDataCache cache{[this] { return now; }};
    VoHttpPoster poster;
    std::optional<VoTallyControl> control;
};

TEST_F(CacheUpload, DeliveredBatchesAreDeletedAndRoutedByPriority) {
    startCollector({});
    const ByteBuffer a = test::testBatch(1044, 1);
    const ByteBuffer b = test::testBatch(1044, 21);
    ASSERT_TRUE(cache.saveFile("pallo_tools_install", a, false));
    now += 1;
    ASSERT_TRUE(cache.saveFile("pallo_routed", b, true));
    now += 100;
    runUpload();

    EXPECT_TRUE(namesIn(world.cacheDir()).empty());
    const auto stored = collector->dump();
    ASSERT_EQ(stored.size(), 2u);
    std::map<std::string, std::string> byPath;
    for (const auto& s : stored) {
        byPath[s["path"]] = s["raw"];
    }
    EXPECT_EQ(byPath["/p2"], test::hexOf(a));
    EXPECT_EQ(byPath["/p3"], test::hexOf(b)) << "a table of priority 3 goes to server3";
}

TEST_F(CacheUpload, FailedBatchCountsUpAndGoesAfterTheSeventhFailure) {
    startCollector({"--fault", "no-result"});
    ASSERT_TRUE(cache.saveFile("pallo_tools_install", test::testBatch(1044, 1), false));
    for (int run = 0; run < 7; ++run) {
        now += VoDataCache::kUploadInterval;
        runUpload();
        // Deleted after the failure at retry count 6.
        const std::string name =
            "delay-1700000000-" + std::to_string(run + 1) + "-pallo_tools_install";
        EXPECT_EQ(namesIn(world.cacheDir()),
                  run < 6 ? std::vector<std::string>{name} : std::vector<std::string>{})
            << "after failed run " << run;
    }
}

TEST_F(CacheUpload, RunsAreAtLeastTenSecondsApart) {
    startCollector({});
    ASSERT_TRUE(cache.saveFile("pallo_tools_install", test::testBatch(1044, 1), false));
    runUpload();
    EXPECT_EQ(cache.mLastUploadCacheFiles, now);
    EXPECT_TRUE(namesIn(world.cacheDir()).empty());

    now += 5;
    ASSERT_TRUE(cache.saveFile("pallo_tools_install", test::testBatch(1044, 2), false));
    runUpload();  // 5 s later: nothing happens, even with a new batch waiting
    now -= 14;
    runUpload();  // 9 s before the last run (the clock went back): nothing either
    EXPECT_EQ(namesIn(world.cacheDir()).size(), 1u);
    EXPECT_EQ(collector->dump().size(), 1u);

    now += 19;  // 10 s after the last run
    runUpload();
    EXPECT_TRUE(namesIn(world.cacheDir()).empty());
    EXPECT_EQ(collector->dump().size(), 2u);
}

TEST_F(CacheUpload, BatchNotFoundAtItsRebuiltPathIsSkipped) {
    startCollector({});
    // Leading zeros: the rebuilt name has none, so the file cannot be read back there.
    corvane::test::writeFile(world.cacheDir() / "delay-0005-0-pallo_tools_install",
                             std::string(13, '\0'));
    runUpload();
    EXPECT_EQ(namesIn(world.cacheDir()),
              std::vector<std::string>{"delay-0005-0-pallo_tools_install"});
    EXPECT_TRUE(collector->dump().empty());
}

}  // namespace
}  // namespace tally
