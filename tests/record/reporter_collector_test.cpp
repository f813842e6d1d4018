// The install reporter end to end: the shipped table definitions, a control file pointing at the
// reference collector (a real process on a loopback port), the real client and poster, and a
// stand-in sw_vers. Every mapping is checked in what the collector decoded and stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "delivery_support.h"
#include "platform/log.h"
#include "setup/install_result.h"
#include "setup/os_version.h"
#include "setup/reporter.h"
#include "support/test_support.h"
#include "tally/vo_tally_client.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::readFile;
using test::ScopedEnv;
using test::writeFile;
using namespace std::chrono_literals;

// The shipped control file with both server lines (HTTPS, as shipped) pointing at `url`.
std::string shippedControlFor(const std::string& url) {
    std::istringstream in(readFile(test::sourceDir() / "resources/vctrl.dat"));
    std::string text;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("server0=") || line.starts_with("server2=")) {
            EXPECT_TRUE(line.substr(8).starts_with("https://")) << line;
            line = line.substr(0, 8) + url;
        }
        text += line + "\n";
    }
    return text;
}

class ReporterAtCollector : public ::testing::Test {
  protected:
    void SetUp() override {
        const fs::path shippedVfmt = test::sourceDir() / "resources/vfmt.dat";
        mWorld.writeResource("vfmt.dat", readFile(shippedVfmt));
        mCollector.emplace(shippedVfmt, mWorld.dir() / "collector.sqlite");
        ASSERT_TRUE(mCollector->running()) << mCollector->log();
        mWorld.writeResource("vctrl.dat", shippedControlFor(mCollector->url("/report")));

        // sw_vers stand-in, first on PATH, counting its runs.
        const fs::path bin = mWorld.dir() / "bin";
        writeFile(bin / "sw_vers",
                  "#!/bin/sh\necho >> '" + (bin / "runs").string() + "'\necho 13.6.1\n");
        fs::permissions(bin / "sw_vers", fs::perms::owner_all);
        mPath.emplace("PATH", bin.string() + ":" + std::string(std::getenv("PATH")));
        MacOSVersion::resetForTesting();

        tally::VoTallyClient::Options options;
        options.postTimeout = 10s;
        mReporter = std::make_unique<Reporter>(
            std::make_unique<tally::VoTallyClient>("vctrl.dat", "vfmt.dat", false, options));
        ReportBlock& d = mReporter->data;
        d.uuid = d.svrid = "0f0e0d0c0b0a09080706050403020100";
        d.tid1 = 101;
        d.tid2 = 202;
        d.tod1 = 3;
        d.tod2 = 4;
    }
    void TearDown() override {
        mReporter.reset();
        mWorld.loop().drain();
        MacOSVersion::resetForTesting();
    }

    // Waits until every report has been answered, lets the answers run, and returns what the
    // collector stored, oldest first.
    std::vector<json> delivered() {
        EXPECT_TRUE(mReporter->flush(20s));
        mWorld.loop().drain();
        return mCollector->dump();
    }

    tally::test::DeliveryWorld mWorld;
    std::optional<tally::test::CollectorProcess> mCollector;
    std::optional<ScopedEnv> mPath;
    std::unique_ptr<Reporter> mReporter;
};

struct Mapping {
    ENUMInstallResult milestone;
    bool bSuccess, bSilent, bCover;
    int result, installtype, silent;
};

TEST_F(ReporterAtCollector, EveryMilestoneArrivesWithItsMapping) {
    std::vector<Mapping> mappings = {
        // The codes with a mapping of their own.
        {ENUMInstallResult::Install_succeeded, false, false, false, 1, 0, 0},
        {ENUMInstallResult::Install_succeeded, false, true, true, 1, 1, 1},
        {ENUMInstallResult::Setup_started, false, false, false, 3, 3, 3},
        {ENUMInstallResult::Setup_started, true, true, true, 3, 3, 3},
        {ENUMInstallResult::Silent_setup_started, false, false, false, 3, 200, 200},
        {ENUMInstallResult::Setup_ended, true, true, true, 3, 200, 200},
        // The rest follow the arguments.
        {ENUMInstallResult::Quit_over_existing, false, false, true, 0, 1, 0},
        {ENUMInstallResult::Quit, false, false, false, 0, 0, 0},
        {ENUMInstallResult::Agreement_missing, true, true, false, 1, 0, 1},
    };
    for (int raw = 2; raw <= 21; ++raw) {
        mappings.push_back({static_cast<ENUMInstallResult>(raw), false, false, false, 0, 0, 0});
    }

    for (const Mapping& m : mappings) {
        mReporter->report(m.bSuccess, m.milestone, m.bSilent, m.bCover, true);
    }
    const std::vector<json> batches = delivered();
    ASSERT_EQ(batches.size(), mappings.size());
    // The system's version is asked for once, by the first report.
    EXPECT_EQ(fs::file_size(mWorld.dir() / "bin/runs"), 1u);

    // Posts may be answered in any order, so both sides are compared sorted.
    std::vector<json> installs;
    std::vector<json> expected;
    for (const json& b : batches) {
        EXPECT_EQ(b["product"], 1044);
        EXPECT_EQ(b["version"], 2);
        EXPECT_EQ(b["count"], 2);
        ASSERT_EQ(b["records"].size(), 2u);
        EXPECT_EQ(b["records"][0]["table"], "pallo_public");
        EXPECT_EQ(b["records"][1]["table"], "pallo_tools_install");
        installs.push_back(b["records"][1]["fields"]);
    }
    for (const Mapping& m : mappings) {
        expected.push_back({
            {"result", m.result},
            {"reason", rawValue(m.milestone)},
            {"installtype", m.installtype},
            {"silent", m.silent},
            {"os", 13},
            {"product_id", 44},
            {"version", 3},
            {"parentproce", "1"},
            {"lastday", 1},
            {"before_tid1", "1"},
            {"before_tid2", "1"},
        });
    }
    std::sort(installs.begin(), installs.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(installs, expected);
}

TEST_F(ReporterAtCollector, PublicRecordCarriesTheFactsAtEachReport) {
    const auto fieldsFor = [](const ReportBlock& d) {
        return json{{"uuid", d.uuid},      {"tid1", d.tid1}, {"tid2", d.tid2},   {"tod1", d.tod1},
                    {"tod2", d.tod2},      {"type", 0},      {"tryno", 3188},    {"iid", 0},
                    {"collect_time", 0},   {"lastver", 1},   {"svrid", d.svrid}, {"wtod2", "1"},
                    {"usertype_public", 1}};
    };
    const ReportBlock firstFacts = mReporter->data;
    mReporter->report(false, ENUMInstallResult::Setup_started, false, false, true);
    ASSERT_EQ(delivered().size(), 1u);

    // The install record stores a new identity between two reports; the other facts take the
    // widest values their fields can hold.
    mReporter->data.uuid = "标识-" + std::string(200, 'u');
    mReporter->data.svrid = "";
    mReporter->data.tid1 = std::numeric_limits<int64_t>::max();
    mReporter->data.tid2 = std::numeric_limits<int64_t>::min();
    mReporter->data.tod1 = -1;
    mReporter->data.tod2 = 0;
    mReporter->report(false, ENUMInstallResult::Install_succeeded, false, false, true);
    const std::vector<json> batches = delivered();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0]["records"][0]["fields"], fieldsFor(firstFacts));
    EXPECT_EQ(batches[1]["records"][0]["fields"], fieldsFor(mReporter->data));
    EXPECT_EQ(batches[1]["records"][1]["fields"]["reason"], 1);
}

TEST_F(ReporterAtCollector, WithoutClientAReportDoesNothing) {
    Reporter bare(nullptr);
    bare.data = mReporter->data;
    platform::ScopedLogCapture quiet;
    bare.report(false, ENUMInstallResult::Quit, false, false, true);
    bare.setPublicData();
    EXPECT_TRUE(bare.flush(1s));
    EXPECT_TRUE(delivered().empty());
}

// The process's reporter is made once, whoever asks first; it reads the bundle's resources.
TEST_F(ReporterAtCollector, InstanceIsMadeOnceAcrossThreads) {
    std::vector<Reporter*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &Reporter::getInstance(); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (Reporter* r : seen) {
        EXPECT_EQ(r, seen[0]);
    }
    ASSERT_NE(seen[0]->client(), nullptr);
    EXPECT_EQ(seen[0]->client()->productId(), 1044);
}

}  // namespace
}  // namespace corvane
