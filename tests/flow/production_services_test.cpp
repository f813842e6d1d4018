// The production adapters on their own: what each passes on, and how the process ends.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/main_queue.h"
#include "setup/content_view.h"
#include "setup/production_services.h"
#include "setup/reporter.h"
#include "support/test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(ProcessExit, HandlerTakesTheStatusInsteadOfEndingTheProcess) {
    std::vector<int> seen;
    ProcessExitService service([&](int status) { seen.push_back(status); });
    service.exitProcess(0);
    service.exitProcess(3);
    EXPECT_EQ(seen, (std::vector<int>{0, 3}));
}

TEST(ProcessExitDeathTest, WithoutHandlerTheProcessEndsWithTheStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ProcessExitService().exitProcess(7), ::testing::ExitedWithCode(7), "");
}

TEST(InstallerServiceTest, AnythingAtTheApplicationPathCountsAsAnEarlierCopy) {
    test::TempDir root;
    test::ScopedEnv simRoot("CORVANE_SIM_ROOT", root.str());
    InstallerService installer;
    const fs::path app = root / "Applications/Corvane.app";
    fs::create_directories(app.parent_path());
    EXPECT_FALSE(installer.applicationExists());
    fs::create_directory(app);
    EXPECT_TRUE(installer.applicationExists());
    fs::remove(app);
    test::writeFile(app, "not a bundle");
    EXPECT_TRUE(installer.applicationExists());
    fs::remove(app);
    fs::create_symlink(root / "nowhere", app);  // a link that leads nowhere is still replaced
    EXPECT_TRUE(installer.applicationExists());
}

TEST(DownloaderServiceTest, DiscardRemovesTheKeptPartialDownloadOnly) {
    test::TempDir tmp;
    test::ScopedEnv tmpdir("TMPDIR", tmp.str());
    for (const char* name : {"package.dmg.part", "package.dmg.part.validator", "package.dmg"}) {
        test::writeFile(tmp / name, "bytes");
    }
    DownloaderService().discardPartialDownload();
    EXPECT_FALSE(fs::exists(tmp / "package.dmg.part"));
    EXPECT_FALSE(fs::exists(tmp / "package.dmg.part.validator"));
    EXPECT_TRUE(fs::exists(tmp / "package.dmg")) << "the finished package is not partial";
}

TEST(DownloaderServiceTest, RefusedConnectionEndsWithOneFailureOnTheWorker) {
    auto loop = std::make_shared<platform::RunLoop>();
    platform::setMainQueue(loop);
    const auto mainThread = std::this_thread::get_id();
    std::atomic<int> failures{0};
    std::atomic<int> successes{0};
    std::atomic<bool> failedOnMain{false};
    DownloadCallbacks callbacks{[](int64_t, int64_t, double) {},
                                [&](const std::string&) { ++successes; },
                                [&] {
                                    failedOnMain = std::this_thread::get_id() == mainThread;
                                    ++failures;
                                }};
    // Port 1 on loopback: nothing listens there. The attempt outlives the service.
    DownloaderService().startDownload("https://127.0.0.1:1/velodoc/corvanereader_x86_64.dmg",
                                      std::move(callbacks));
    // The failure arrives on the worker, not through the loop.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (failures == 0 && std::chrono::steady_clock::now() < deadline) {
        loop->runFor(5ms);
    }
    loop->runFor(50ms);  // a second end would come now
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(successes, 0);
    EXPECT_FALSE(failedOnMain);
    loop->drain();
    platform::setMainQueue(nullptr);
}

TEST(ProductionServices, WireTheRealPartsAndTheRegisteredMainQueue) {
    auto loop = std::make_shared<platform::RunLoop>();
    platform::setMainQueue(loop);
    const ContentView::Services services = ContentView::productionServices();
    platform::setMainQueue(nullptr);
    EXPECT_EQ(services.mainQueue, loop);
    EXPECT_NE(dynamic_cast<DownloaderService*>(services.downloader.get()), nullptr);
    EXPECT_NE(dynamic_cast<InstallerService*>(services.installer.get()), nullptr);
    EXPECT_NE(dynamic_cast<ProcessExitService*>(services.exit.get()), nullptr);
    EXPECT_EQ(services.window, nullptr);  // the shell sets its window later
    // Without a telemetry client a report and a flush do nothing, and do not wait.
    Reporter reporter(nullptr);
    ReporterService service(reporter);
    EXPECT_EQ(&service.data(), &reporter.data);
    service.report(false, ENUMInstallResult::Setup_started, false, false, true);
    service.flush(5s);
}

}  // namespace
}  // namespace corvane
