// The telemetry client end to end against the reference collector.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "delivery_support.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_client.h"

namespace tally {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::CollectorProcess;
using test::DeliveryWorld;
using test::namesIn;

class ClientTest : public ::testing::Test {
  protected:
    CollectorProcess& startCollector(const std::vector<std::string>& args = {}) {
        const fs::path db = world.dir() / ("store" + std::to_string(collectors.size()) + ".db");
        collectors.push_back(std::make_unique<CollectorProcess>(world.vfmtPath(), db, args));
        EXPECT_TRUE(collectors.back()->running()) << collectors.back()->log();
        return *collectors.back();
    }

    VoTallyClient& makeClient(const std::string& control, bool cache = false) {
        world.writeResource("vctrl.dat", control);
        VoTallyClient::Options options;
        options.now = [this] { return now; };
        client = std::make_unique<VoTallyClient>(VCTRL_PATH, "vfmt.dat", cache, options);
        return *client;
    }

    void settle() {
        ASSERT_TRUE(client->flush(60s));
        world.loop().drain();
    }

    DeliveryWorld world;
    int64_t now = 1700000000;
    std::vector<std::unique_ptr<CollectorProcess>> collectors;
    std::unique_ptr<VoTallyClient> client;
};

TEST_F(ClientTest, ReportArrivesAsTheBatchOfThePublicThenTheEventRecord) {
    auto& collector = startCollector();
    ScopedVoLogCapture log;
    auto& c = makeClient(test::controlText(1044, {{0, "http://zero"}, {2, collector.url()}}));
    EXPECT_EQ(c.defaultUrl(), "http://zero");
    ASSERT_TRUE(c.setPublicData("pallo_public", test::publicPayload()));
    ASSERT_TRUE(c.report("pallo_tools_install", test::installPayload(100), true));
    settle();

    const auto stored = collector.dump();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["raw"], test::hexOf(test::testBatch(1044, 100)));
    // A delivered report with the cache off logs nothing more, and uploads no cache.
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[VoTally] VoTallyClient => productId['1044']"});
}

TEST_F(ClientTest, WithoutAProductIdNothingIsReported) {
    ScopedVoLogCapture log;
    auto& c = makeClient("[common]\nserver2=http://127.0.0.1:1/\n");
    EXPECT_FALSE(c.setPublicData("pallo_public", test::publicPayload()));
    EXPECT_FALSE(c.report("pallo_tools_install", test::installPayload(1), true));
    const std::vector<std::string> expected = {
        "[VoTally] VoTallyClient => productId['0']",
        "[VoTally] setPublicData => WARN: Invalid productId['0']",
        "[VoTally] report => WARN: Invalid productId['0']"};
    EXPECT_EQ(log.lines(), expected);
    EXPECT_EQ(c.poster()->inFlight(), 0u);
}

TEST_F(ClientTest, RefusedReportsSendNothingAndSayWhy) {
    auto& collector = startCollector();
    auto& c = makeClient(test::controlText(1044, {{2, collector.url()}}));
    ScopedVoLogCapture log;
    EXPECT_FALSE(c.report("pallo_tools_install", test::installPayload(1), true));
    ASSERT_TRUE(c.setPublicData("pallo_public", test::publicPayload()));
    // An unknown table keeps the public record that is in force.
    EXPECT_FALSE(c.setPublicData("no_such_table", test::publicPayload()));
    EXPECT_TRUE(c.report("pallo_tools_install", test::installPayload(1), true));
    EXPECT_FALSE(c.report("no_such_table", test::installPayload(1), true));
    TallyPayload missing = test::installPayload(1);
    missing.erase("reason");
    EXPECT_FALSE(c.report("pallo_tools_install", missing, true));
    TallyPayload wrongKind = test::installPayload(1);
    wrongKind["result"] = "one";
    EXPECT_FALSE(c.report("pallo_tools_install", wrongKind, true));
    // A public payload that does not encode clears the one in force.
    TallyPayload incomplete = test::publicPayload();
    incomplete.erase("svrid");
    EXPECT_FALSE(c.setPublicData("pallo_public", incomplete));
    EXPECT_FALSE(c.hasPublicData());
    EXPECT_FALSE(c.report("pallo_tools_install", test::installPayload(2), true));
    settle();
    EXPECT_EQ(collector.dump().size(), 1u);
    const std::string failed =
        "[VoTally] report => failed to report!!! error:table "
        "'pallo_tools_install': field ";
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "[VoTally] report => not found public data",
            "[VoTally] setPublicData => not found table['no_such_table']",
            "[VoTally] report => not found table['no_such_table']",
            failed + "'reason' (int) has no value", failed + "'result' (byte) does not accept text",
            "[VoTally] setPublicData => Exception", "[VoTally] report => not found public data"}));
}

TEST_F(ClientTest, UnforcedReportIsStoredWithTheCacheOnAndDroppedWithItOff) {
    for (const bool cache : {false, true}) {
        SCOPED_TRACE(cache);
        // 1 is the smallest product id there is.
        auto& c = makeClient(test::controlText(1, {{2, "http://127.0.0.1:1/"}}), cache);
        ASSERT_TRUE(c.setPublicData("pallo_public", test::publicPayload()));
        EXPECT_TRUE(c.report("pallo_tools_install", test::installPayload(100), false));
        EXPECT_EQ(c.poster()->inFlight(), 0u) << "nothing is sent";
        if (!cache) {
            EXPECT_FALSE(fs::exists(world.cacheDir()));
            continue;
        }
        const std::string name = "delay-1700000000-0-pallo_tools_install";
        ASSERT_EQ(namesIn(world.cacheDir()), std::vector<std::string>{name});
        const ByteBuffer expected = test::testBatch(1, 100);
        EXPECT_EQ(corvane::test::readFile(world.cacheDir() / name),
                  std::string(expected.begin(), expected.end()));
    }
}

// Left batches go at creation; a failed forced post is cached and goes after the next delivery.
TEST_F(ClientTest, CachedBatchesGoAtCreationAndAfterTheNextDelivery) {
    auto& good = startCollector();
    auto& refusing = startCollector({"--fault", "no-result"});
    const ByteBuffer left = test::testBatch(1044, 3);
    corvane::test::writeFile(world.cacheDir() / "force-1699999000-2-pallo_tools_install",
                             std::string(left.begin(), left.end()));
    auto& c = makeClient(test::controlText(1044, {{2, good.url()}, {3, refusing.url()}},
                                           "[pallo_routed]\npriority=3\n"),
                         true);
    ASSERT_TRUE(c.setPublicData("pallo_public", test::publicPayload()));
    ASSERT_TRUE(c.report("pallo_routed", {{"reason", 7}}, true));
    settle();
    EXPECT_EQ(namesIn(world.cacheDir()),
              std::vector<std::string>{"force-1700000000-0-pallo_routed"});
    ASSERT_EQ(good.dump().size(), 1u);
    EXPECT_EQ(good.dump()[0]["raw"], test::hexOf(left));

    now += 10;  // the creation's upload run was 10 s ago
    ASSERT_TRUE(c.report("pallo_tools_install", test::installPayload(1), true));
    settle();  // the delivery, which queues the upload run's post
    settle();  // the upload run's outcome
    EXPECT_EQ(namesIn(world.cacheDir()),
              std::vector<std::string>{"force-1700000000-1-pallo_routed"});
    EXPECT_EQ(good.dump().size(), 2u);
}

}  // namespace
}  // namespace tally
