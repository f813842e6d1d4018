// The production adapters on their own: what each passes on, and how the process ends.
#include <unistd.h>

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
    EXPECT_EXIT(ProcessExitService().exitProcess(0), ::testing::ExitedWithCode(0), "");
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
    test::writeFile(tmp / "package.dmg.part", "half a package");
    test::writeFile(tmp / "package.dmg.part.validator", "its record");
    test::writeFile(tmp / "package.dmg", "a finished package");
    DownloaderService service;
    service.discardPartialDownload();
    EXPECT_FALSE(fs::exists(tmp / "package.dmg.part"));
    EXPECT_FALSE(fs::exists(tmp / "package.dmg.part.validator"));
    EXPECT_TRUE(fs::exists(tmp / "package.dmg")) << "the finished package is not partial";
}

TEST(ReporterServiceTest, GivenReporterIsTheOneUsed) {
    Reporter reporter(nullptr);
    ReporterService service(reporter);
    EXPECT_EQ(&service.data(), &reporter.data);
    service.data().bCoverInstall = true;
    EXPECT_TRUE(reporter.data.bCoverInstall);
    // Without a telemetry client a report and a flush do nothing, and do not wait.
    service.report(false, ENUMInstallResult::Setup_started, false, false, true);
    service.flush(5s);
}

TEST(ProductionServices, WireTheRealPartsAndTheRegisteredMainQueue) {
    auto loop = std::make_shared<platform::RunLoop>();
    platform::setMainQueue(loop);
    const ContentView::Services services = ContentView::productionServices();
    platform::setMainQueue(nullptr);
    EXPECT_EQ(services.mainQueue, loop);
    EXPECT_NE(dynamic_cast<DownloaderService*>(services.downloader.get()), nullptr);
    EXPECT_NE(dynamic_cast<InstallerService*>(services.installer.get()), nullptr);
    EXPECT_NE(dynamic_cast<ReporterService*>(services.reporter.get()), nullptr);
    EXPECT_NE(dynamic_cast<ProcessExitService*>(services.exit.get()), nullptr);
    EXPECT_EQ(services.window, nullptr);  // the shell sets its window later
}

}  // namespace
}  // namespace corvane
