// libcurl and libcrypto that cannot be loaded (CTest puts non-libraries of their names first on
// LD_LIBRARY_PATH): downloads and reports fail cleanly, and the program keeps running.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/network_libraries.h"
#include "setup/downloader.h"
#include "setup/uuid_generater.h"
#include "tally/vo_http_poster.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

TEST(MissingNetworkLibraries, DownloadsAndReportsFailCleanlyAndTheIdentityIsStillMade) {
    platform::ScopedLogCapture log;
    auto loop = std::make_shared<platform::RunLoop>();
    platform::setMainQueue(loop);

    EXPECT_EQ(platform::curlLibrary(), nullptr);
    EXPECT_EQ(platform::cryptoLibrary(), nullptr);
    EXPECT_TRUE(log.containsPrefix("libcurl cannot be loaded: "));
    EXPECT_TRUE(log.containsPrefix("libcrypto cannot be loaded: "));

    EXPECT_EQ(md5Hex("abc"), "");
    const std::string id = assembleUUID();
    EXPECT_THAT(id, ::testing::MatchesRegex("[0-9a-f]{32}"));
    EXPECT_NE(id, assembleUUID());

    // The download's callbacks run on its worker.
    std::atomic<int> failures = 0;
    std::atomic<bool> succeeded = false;
    auto downloader = std::make_shared<Downloader>();
    downloader->onDownloadFailed = [&failures] { ++failures; };
    downloader->onDownloadSuccess = [&succeeded](const std::string&) { succeeded = true; };
    downloader->startDownload("https://127.0.0.1:9/velodoc/corvanereader_x86_64.dmg");
    for (int i = 0; i < 3000 && failures == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(50ms);  // a second failure report would come now
    EXPECT_EQ(failures, 1);
    EXPECT_FALSE(succeeded);
    EXPECT_TRUE(log.contains("Download failed: no transfer handle"));

    std::optional<int> rejected;
    {
        tally::VoHttpPoster poster;
        poster.post(
            "http://127.0.0.1:9/report", {1, 2, 3}, [] {},
            [&rejected](const tally::PostError& e) { rejected = e.code; });
        EXPECT_TRUE(loop->runUntil([&rejected] { return rejected.has_value(); }, 30s));
    }
    EXPECT_EQ(rejected, tally::PostError::kTransport);
    platform::setMainQueue(nullptr);
}

}  // namespace
}  // namespace corvane
