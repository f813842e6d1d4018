// The setup flow driven as the screens drive it: controls pressed on the main thread, a test
// main loop standing in for the window's, and download ends arriving on a worker thread.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <thread>

#include "flow_fakes.h"
#include "platform/log.h"
#include "platform/main_queue.h"
#include "setup/content_view.h"
#include "setup/globals.h"
#include "support/test_support.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using platform::RunLoop;
using platform::ScopedLogCapture;
using test::FakeDownloads;
using test::FakeExit;
using test::FakeInstaller;
using test::FakeReporter;
using test::FakeWindow;
using test::Journal;
using test::ScopedEnv;
using Status = INSTALLER_STATUS;
using Pairs = std::vector<std::pair<double, double>>;

class FlowTest : public ::testing::Test {
  protected:
    void TearDown() override {
        installer->releaseProbe();
        installer->release();
        downloads->joinWorkers();
        loop->drain();
        view.reset();
    }

    // A controller whose start-up probes have ended (or, with `probed` false, may still run).
    ContentView& make(bool probed = true) {
        view = std::make_unique<ContentView>(
            ContentView::Services{downloads, installer, reporter, window, exitService, loop});
        if (probed) {
            EXPECT_TRUE(waitFor([&] { return view->machineProbed(); }));
        }
        return *view;
    }

    // Agreement ticked and the install button pressed: the first download is running.
    ContentView& makeDownloading() {
        ContentView& v = make();
        v.setIsConfirmProtocol(true);
        v.installButtonPressed();
        return v;
    }

    void tick(int times) {
        for (int i = 0; i < times; ++i) {
            view->progressTick();
        }
    }

    // Runs the main loop until `done` holds; some conditions are set by a worker, not by a
    // posted task, so the loop is polled rather than left to wait for the next task.
    [[nodiscard]] bool waitFor(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            loop->runFor(2ms);
        }
        return true;
    }

    // A download that reached its end and handed over a file; waits until the main thread knows.
    void finishDownload(size_t attempt, const std::string& path) {
        downloads->progress(attempt, 150, 150, 1.0);
        downloads->succeedOnWorker(attempt, path);
        ASSERT_TRUE(waitFor([&] { return view->installerStatus() == Status::Installing; }));
    }

    ScopedEnv packageBase{"CORVANE_PACKAGE_BASE", "https://packages.test"};
    ScopedLogCapture logs;
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    std::shared_ptr<FakeDownloads> downloads = std::make_shared<FakeDownloads>();
    std::shared_ptr<FakeInstaller> installer = std::make_shared<FakeInstaller>(journal);
    std::shared_ptr<FakeReporter> reporter = std::make_shared<FakeReporter>(journal);
    std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
    std::shared_ptr<FakeExit> exitService = std::make_shared<FakeExit>(journal);
    std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
    std::unique_ptr<ContentView> view;
};

// ---- Construction ----

TEST_F(FlowTest, FreshMachineOpensTheDrawerAndReportsTheStart) {
    ContentView& v = make();
    EXPECT_FALSE(v.isOverwriteInstallation());
    EXPECT_TRUE(v.isShowDragBtn());
    EXPECT_TRUE(v.isExpanded());
    EXPECT_FALSE(reporter->data().bCoverInstall);
    EXPECT_EQ(v.installerStatus(), Status::Prepare_to_download);
    EXPECT_EQ(g_installerStatus.load(), Status::Prepare_to_download);
    EXPECT_FALSE(v.installerStatusToChange());
    EXPECT_FALSE(v.isShowAlert());
    EXPECT_FALSE(v.isUsingNow());
    EXPECT_EQ(v.totalDownloaded(), 0);
    EXPECT_EQ(v.totalExpectedDownload(), 0);
    EXPECT_EQ(v.progress(), 0.0);
    EXPECT_EQ(v.remainTime(), 0);
    EXPECT_FALSE(v.downloadDmgPath());
    EXPECT_FALSE(v.isConfirmProtocol());
    EXPECT_TRUE(v.isSetDefault());
    EXPECT_TRUE(v.isPermitInstallService());
    EXPECT_TRUE(v.isAssotiateEBook());
    EXPECT_TRUE(v.isAssotiateDocument());
    EXPECT_EQ(v.textColor().red, 0.4);
    EXPECT_EQ(v.textColor().alpha, 1.0);
    EXPECT_EQ(v.timeLeftText(), "下载剩余0秒");

    // Leftovers of interrupted installs are undone before the installed app is looked for; the
    // machine is probed and the settings file prepared and read before the start is reported
    // with its facts.
    EXPECT_EQ(journal->entries(),
              (std::vector<std::string>{"recoverInterruptedInstalls", "applicationExists",
                                        "checkOSArch", "ensureIniFileExisted", "getPackageInfo",
                                        "probeMachine", "report 100"}));
    const auto calls = reporter->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].bSuccess);
    EXPECT_FALSE(calls[0].bSilent);
    EXPECT_FALSE(calls[0].bCover);
    EXPECT_TRUE(calls[0].force);

    v.drawerResize();
    EXPECT_EQ(window->sizes(), (Pairs{{680, 492}}));
    v.setIsExpanded(false);
    v.drawerResize();
    EXPECT_EQ(window->sizes(), (Pairs{{680, 492}, {680, 436}}));
}

TEST_F(FlowTest, OverwriteInstallHidesDrawerAndSwitchAndMarksTheCover) {
    installer->appExists = true;
    ContentView& v = make();
    EXPECT_TRUE(v.isOverwriteInstallation());
    EXPECT_FALSE(v.isShowDragBtn());
    EXPECT_FALSE(v.isExpanded());
    EXPECT_TRUE(reporter->data().bCoverInstall);
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100}));
    v.drawerResize();
    EXPECT_EQ(window->sizes(), (Pairs{{680, 436}}));
}

TEST_F(FlowTest, PackageAddressFollowsTheProcessor) {
    installer->arch = OS_TYPE::arm;
    make();
    EXPECT_EQ(downloadUrl(), "https://packages.test/velodoc/corvanereader_arm64.dmg");
    installer->arch = OS_TYPE::undetermined;
    make();
    EXPECT_EQ(downloadUrl(), "https://packages.test/velodoc/corvanereader_x86_64.dmg");
    installer->arch = OS_TYPE::x86;
    makeDownloading();
    ASSERT_EQ(downloads->attemptCount(), 1u);
    EXPECT_EQ(downloads->url(0), "https://packages.test/velodoc/corvanereader_x86_64.dmg");
}

TEST_F(FlowTest, ThePressBeforeTheProbeEndedDownloadsFromTheAddressItFinds) {
    installer->arch = OS_TYPE::arm;
    installer->holdProbe();
    ContentView& v = make(false);
    EXPECT_FALSE(v.machineProbed());
    EXPECT_TRUE(reporter->reasons().empty()) << "no start reported before the probe";
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(downloads->attemptCount(), 0u) << "no download from an address not yet known";

    installer->releaseProbe();
    ASSERT_TRUE(waitFor([&] { return downloads->attemptCount() == 1u; }));
    EXPECT_EQ(downloads->url(0), "https://packages.test/velodoc/corvanereader_arm64.dmg");
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100}));
    finishDownload(0, "/tmp/package.dmg");
}

TEST_F(FlowTest, AReportDueBeforeTheStartUpWorkEndedWaitsForTheStart) {
    installer->holdProbe();
    ContentView& v = make(false);
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        installer->releaseProbe();
    });
    v.installButtonPressed();  // no agreement: reports, after the start, on this thread
    releaser.join();
    EXPECT_TRUE(v.machineProbed());
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100, 9}));
    loop->drain();  // the worker's own hand-over finds the start done
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100, 9}));
}

TEST_F(FlowTest, WithoutAWindowResizingDoesNothing) {
    window = nullptr;
    ContentView& v = make();
    v.resizeWindowTo(680, 492);  // must simply not fail
    auto late = std::make_shared<FakeWindow>();
    v.setWindow(late);
    v.resizeWindowTo(680, 436);
    EXPECT_EQ(late->sizes(), (Pairs{{680, 436}}));
}

// ---- Install button and the prompts ----

TEST_F(FlowTest, InstallWithoutAgreementOpensThePromptAndReports) {
    ContentView& v = make();
    v.installButtonPressed();
    EXPECT_TRUE(v.isShowAlert());
    EXPECT_EQ(v.installerStatus(), Status::Prepare_to_download);
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100, 9}));
    EXPECT_EQ(downloads->attemptCount(), 0u);
    EXPECT_EQ(journal->count("checkIfUsingNow"), 0u);
}

TEST_F(FlowTest, PromptButtonsCloseThePromptAndReportWithoutDownloading) {
    ContentView& v = make();
    v.installButtonPressed();
    v.armInstallButton();
    v.closeButtonPressed();
    EXPECT_FALSE(v.isShowAlert());
    EXPECT_FALSE(v.isConfirmProtocol());

    v.installButtonPressed();
    v.armInstallButton();
    v.cancelButtonPressed();
    EXPECT_FALSE(v.isShowAlert());
    EXPECT_FALSE(v.isConfirmProtocol());

    v.installButtonPressed();
    v.armInstallButton();
    v.agreeButtonPressed();
    EXPECT_FALSE(v.isShowAlert());
    EXPECT_TRUE(v.isConfirmProtocol());
    EXPECT_EQ(downloads->attemptCount(), 0u);  // the user presses the button again
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100, 9, 11, 9, 12, 9, 10}));

    v.installButtonPressed();
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(downloads->attemptCount(), 1u);
}

TEST_F(FlowTest, InstallWhileCorvaneRunsShowsTheAlertOnly) {
    installer->usingNow = true;
    ContentView& v = make();
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    EXPECT_TRUE(v.isUsingNow());
    EXPECT_EQ(v.installerStatus(), Status::Prepare_to_download);
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100}));
    EXPECT_EQ(downloads->attemptCount(), 0u);
    v.setIsUsingNow(false);  // the alert's "好的"
    EXPECT_FALSE(v.isUsingNow());
}

TEST_F(FlowTest, InstallStartsTheDownloadAndFoldsTheDrawer) {
    ContentView& v = make();
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(g_installerStatus.load(), Status::Downloading);
    EXPECT_FALSE(v.isExpanded());
    EXPECT_EQ(window->sizes(), (Pairs{{680, 436}}));
    EXPECT_TRUE(logs.contains("fnDownload"));
    EXPECT_EQ(downloads->attemptCount(), 1u);
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100}));
}

TEST_F(FlowTest, ButtonIgnoresRepeatsUntilTheIntroScreenIsBuiltAgain) {
    ContentView& v = make();
    // The screen rebuilds (and re-arms) on every notification, as the real one does.
    int rebuilt = 0;
    v.subscribe([&] {
        ++rebuilt;
        if (v.installerStatus() == Status::Prepare_to_download) {
            v.armInstallButton();
        }
    });
    // A held press with movement calls the handler several times before any redraw.
    v.setIsConfirmProtocol(true);
    const int before = rebuilt;
    v.installButtonPressed();
    v.installButtonPressed();
    v.installButtonPressed();
    EXPECT_EQ(downloads->attemptCount(), 1u);
    EXPECT_GT(rebuilt, before);
}

TEST_F(FlowTest, OnePromptReportsTheMissingAgreementOnce) {
    ContentView& v = make();
    v.subscribe([&] { v.armInstallButton(); });  // rebuilt on every notification
    v.installButtonPressed();
    // Presses and drags on what the prompt leaves of the button, even on a rebuilt screen.
    for (int i = 0; i < 3; ++i) {
        v.armInstallButton();
        v.installButtonPressed();
    }
    EXPECT_TRUE(v.isShowAlert());
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100, 9}));
    // Once answered, the next press asks (and reports) again.
    v.closeButtonPressed();
    v.installButtonPressed();
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100, 9, 11, 9}));
}

// ---- Change notification ----

TEST_F(FlowTest, ObserversHearEveryChangeOnTheMainThread) {
    ContentView& v = make();
    const auto mainThread = std::this_thread::get_id();
    int calls = 0;
    bool offMain = false;
    std::vector<Status> seen;
    const int id = v.subscribe([&] {
        ++calls;
        offMain = offMain || std::this_thread::get_id() != mainThread;
        seen.push_back(v.installerStatus());
    });
    v.setIsSetDefault(false);
    EXPECT_EQ(calls, 1);
    v.setIsSetDefault(false);  // no change, no redraw
    EXPECT_EQ(calls, 1);
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    EXPECT_EQ(calls, 3);
    downloads->progress(0, 10, 150, 30.0);
    EXPECT_EQ(calls, 4);

    // The end of the download and of the install happen on the worker; the screens still
    // hear of them on the main thread.
    downloads->succeedOnWorker(0, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    EXPECT_FALSE(offMain);
    EXPECT_EQ(seen.back(), Status::Installing);
    EXPECT_EQ(v.downloadDmgPath(), "/tmp/package.dmg");

    v.unsubscribe(id);
    const int before = calls;
    v.setIsExpanded(true);
    EXPECT_EQ(calls, before);
}

TEST_F(FlowTest, ObserverMayUnsubscribeAnotherWhileBeingTold) {
    ContentView& v = make();
    int second = 0;
    int secondId = 0;
    v.subscribe([&] { v.unsubscribe(secondId); });
    secondId = v.subscribe([&] { ++second; });
    v.setIsSetDefault(false);
    EXPECT_EQ(second, 0);
}

// ---- Download progress ----

TEST_F(FlowTest, CountersNeverGoDownAndTheEstimateNeverGoesUp) {
    ContentView& v = makeDownloading();
    downloads->progress(0, 20, 150, 90.7);
    EXPECT_EQ(v.remainTime(), 90);
    downloads->progress(0, 30, 150, 95.0);
    EXPECT_EQ(v.remainTime(), 90);
    EXPECT_EQ(v.timeLeftText(), "下载剩余1分30秒");
    downloads->progress(0, 25, 140, 80.2);  // smaller counts are not taken, the estimate is
    EXPECT_EQ(v.totalDownloaded(), 30);
    EXPECT_EQ(v.totalExpectedDownload(), 150);
    EXPECT_EQ(v.remainTime(), 80);
    EXPECT_DOUBLE_EQ(v.progress(), 30.0 / 150.0);
    EXPECT_EQ(v.percentageText(), "20%");
}

TEST_F(FlowTest, PackageOf150Point7MegabytesShowsWholeMegabytes) {
    ContentView& v = makeDownloading();
    downloads->progress(0, 75, 150, 10.0);
    EXPECT_EQ(v.downloadedText(), "75MB");
    EXPECT_EQ(v.packageSizeText(), " / 150MB ");
    EXPECT_EQ(v.percentageText(), "50%");
    EXPECT_DOUBLE_EQ(v.progressBarLength(), 144.0);
    EXPECT_FALSE(v.isProgressTickActive());
    // 150 whole megabytes of 150.7 are written: the download's part of the bar is full.
    downloads->progress(0, 150, 150, 0.4);
    EXPECT_EQ(v.percentageText(), "100%");
    EXPECT_DOUBLE_EQ(v.progressBarLength(), 288.0);
    EXPECT_TRUE(v.isProgressTickActive());
}

TEST_F(FlowTest, TimeLeftSwitchesToMinutesAtSixtySeconds) {
    ContentView& v = makeDownloading();
    downloads->progress(0, 1, 150, 125.9);
    EXPECT_EQ(v.timeLeftText(), "下载剩余2分5秒");
    downloads->progress(0, 2, 150, 60.0);
    EXPECT_EQ(v.timeLeftText(), "下载剩余1分0秒");
    downloads->progress(0, 3, 150, 59.99);
    EXPECT_EQ(v.timeLeftText(), "下载剩余59秒");
}

TEST_F(FlowTest, EstimatesThatAreNoTimeAreIgnored) {
    ContentView& v = makeDownloading();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // The first update may come after no measurable time.
    for (double bad : {inf, nan, -inf, 1e19, 9223372036854775808.0, -3.0}) {
        downloads->progress(0, 1, 150, bad);
        EXPECT_EQ(v.remainTime(), 0) << bad;
    }
    downloads->progress(0, 2, 150, 40.0);
    EXPECT_EQ(v.remainTime(), 40);
    for (double bad : {inf, nan, -inf, 1e300, -1.0}) {
        downloads->progress(0, 3, 150, bad);
        EXPECT_EQ(v.remainTime(), 40) << bad;
    }
    downloads->progress(0, 4, 150, 9223372036854774784.0);  // the largest that fits is not
    EXPECT_EQ(v.remainTime(), 40);                          // smaller, so not taken either
    EXPECT_EQ(v.timeLeftText(), "下载剩余40秒");
}

TEST_F(FlowTest, PackageUnderOneMegabyteNeverMakesTheBarUndefined) {
    ContentView& v = makeDownloading();
    downloads->progress(0, 0, 0, 1.0);
    EXPECT_EQ(v.progress(), 0.0);
    EXPECT_EQ(v.percentageText(), "0%");
    // The file arrives although the megabyte counts never filled the bar: the install line
    // still appears and the tick still applies the result.
    downloads->succeedOnWorker(0, "/tmp/small.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    EXPECT_EQ(v.progress(), 1.0);
    EXPECT_TRUE(v.isProgressTickActive());
}

// ---- Download, install and the tick ----

TEST_F(FlowTest, SuccessfulDownloadInstallsOnTheWorkerAndTheTickAppliesTheResult) {
    const auto mainThread = std::this_thread::get_id();
    ContentView& v = makeDownloading();
    finishDownload(0, "/tmp/package.dmg");
    EXPECT_TRUE(logs.contains("download file path /tmp/package.dmg"));
    EXPECT_EQ(g_installerStatus.load(), Status::Installing);
    EXPECT_EQ(v.downloadDmgPath(), "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    EXPECT_EQ(v.installerStatusToChange(), Status::Install_success);
    EXPECT_FALSE(v.isInstallRunning());
    ASSERT_EQ(installer->installThreads().size(), 1u);
    EXPECT_NE(installer->installThreads()[0], mainThread);
    EXPECT_EQ(installer->installedPaths(), (std::vector<std::string>{"/tmp/package.dmg"}));

    // A progress report that was still on its way does not pull the bar back.
    v.progressTick();
    downloads->progress(0, 150, 150, 0.0);
    EXPECT_DOUBLE_EQ(v.progress(), 1.03);

    // Nine ticks take the bar from 1.0 to 1.27; the tenth applies the stored result.
    const double expected[] = {1.06, 1.09, 1.12, 1.15, 1.18, 1.21, 1.24, 1.27};
    for (double p : expected) {
        v.progressTick();
        EXPECT_NEAR(v.progress(), p, 1e-9);
        EXPECT_EQ(v.installerStatus(), Status::Installing);
        EXPECT_TRUE(exitService->statuses().empty());
    }
    EXPECT_NEAR(v.progressBarLength(), 1.27 * 288.0, 1e-6);
    v.progressTick();
    EXPECT_EQ(v.installerStatus(), Status::Install_success);
    EXPECT_EQ(exitService->statuses(), (std::vector<int>{0}));

    // Whatever the screens still do, the final steps run once.
    v.progressTick();
    v.progressTick();
    EXPECT_EQ(exitService->statuses(), (std::vector<int>{0}));
    EXPECT_EQ(journal->count("report 1"), 1u);
    for (const auto& call : reporter->calls()) {
        EXPECT_EQ(call.thread, mainThread);
    }
}

TEST_F(FlowTest, FreshInstallWritesTheOptionsStopsServicesAndEndsWithStatusZero) {
    ContentView& v = makeDownloading();
    finishDownload(0, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    journal->clear();
    tick(10);
    EXPECT_EQ(
        journal->entries(),
        (std::vector<std::string>{"setDefault 1", "installService", "shutDownServices",
                                  "recordPackageDetail 1.0.0.1 fresh", "report 1", "resumeServices",
                                  "startUse", "report 21", "flush 3000", "exit 0"}));
}

TEST_F(FlowTest, FreshInstallWithoutDefaultReaderWritesZero) {
    ContentView& v = make();
    v.setIsSetDefault(false);
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    finishDownload(0, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    tick(10);
    EXPECT_EQ(journal->count("setDefault 0"), 1u);
    EXPECT_EQ(journal->count("setDefault 1"), 0u);
    EXPECT_EQ(exitService->statuses(), (std::vector<int>{0}));
}

TEST_F(FlowTest, OverwriteInstallWritesNoOptionsAndStopsNothing) {
    installer->appExists = true;
    ContentView& v = makeDownloading();
    finishDownload(0, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    journal->clear();
    tick(10);
    EXPECT_EQ(journal->entries(),
              (std::vector<std::string>{"recordPackageDetail 1.0.0.1 overwrite", "report 1",
                                        "resumeServices", "startUse", "report 21", "flush 3000",
                                        "exit 0"}));
}

TEST_F(FlowTest, SlowInstallKeepsTheInstallLineUntilItEnds) {
    installer->hold();
    installer->setInstallResult(false);
    ContentView& v = makeDownloading();
    finishDownload(0, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return installer->installStarted(); }));

    tick(30);  // far past the ten-tick wait
    EXPECT_EQ(v.installerStatus(), Status::Installing);
    EXPECT_NEAR(v.progress(), 1.27, 1e-9);
    EXPECT_TRUE(v.isProgressTickActive());
    EXPECT_TRUE(v.isInstallRunning());
    EXPECT_EQ(g_installerStatus.load(), Status::Installing);  // the shell only minimises

    // Pressing "重新安装" meanwhile (the screen is not offered, but a stray call must not
    // start a second install over the same folders).
    v.reinstall();
    v.install("/tmp/package.dmg");
    EXPECT_EQ(installer->installCount(), 1);

    installer->release();
    // The result shows as soon as the install ends, without waiting for another tick.
    ASSERT_TRUE(waitFor([&] { return v.installerStatus() == Status::Install_failed; }));
    EXPECT_EQ(installer->mostAtOnce(), 1);
    EXPECT_FALSE(v.isProgressTickActive());
    EXPECT_EQ(g_installerStatus.load(), Status::Install_failed);
}

TEST_F(FlowTest, SlowInstallThatSucceedsEndsTheRunWhenItFinishes) {
    installer->hold();
    ContentView& v = makeDownloading();
    finishDownload(0, "/tmp/package.dmg");
    tick(12);
    EXPECT_TRUE(exitService->statuses().empty());
    installer->release();
    ASSERT_TRUE(waitFor([&] { return !exitService->statuses().empty(); }));
    EXPECT_EQ(v.installerStatus(), Status::Install_success);
    EXPECT_EQ(exitService->statuses(), (std::vector<int>{0}));
}

TEST_F(FlowTest, BarFullWithoutAFileEndsInFailureAndReinstallOffersTheDownload) {
    ContentView& v = makeDownloading();
    downloads->progress(0, 150, 150, 0.0);
    tick(9);
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    tick(1);
    // No install ran and none will: the install-failed screen, as before.
    EXPECT_EQ(v.installerStatus(), Status::Install_failed);
    EXPECT_FALSE(v.downloadDmgPath());
    v.reinstall();
    EXPECT_EQ(v.installerStatus(), Status::Download_failed);
    EXPECT_EQ(installer->installCount(), 0);
    v.restartDownload();
    EXPECT_EQ(downloads->attemptCount(), 2u);
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
}

TEST_F(FlowTest, FailedDownloadKeepsCountersAndRetryStartsAfresh) {
    ContentView& v = makeDownloading();
    downloads->progress(0, 40, 150, 90.0);
    downloads->failOnWorker(0);
    ASSERT_TRUE(waitFor([&] { return v.installerStatus() == Status::Download_failed; }));
    EXPECT_EQ(g_installerStatus.load(), Status::Download_failed);
    EXPECT_EQ(v.totalDownloaded(), 40);
    EXPECT_EQ(v.remainTime(), 90);
    EXPECT_EQ(reporter->reasons(), (std::vector<int>{100}));  // failures are not reported

    v.restartDownload();
    EXPECT_TRUE(logs.contains("restartDownload"));
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(v.totalDownloaded(), 0);
    EXPECT_EQ(v.totalExpectedDownload(), 0);
    EXPECT_EQ(v.remainTime(), 0);
    EXPECT_EQ(v.percentageText(), "0%");
    ASSERT_EQ(downloads->attemptCount(), 2u);
    EXPECT_EQ(logs.lines(),
              (std::vector<std::string>{"fnDownload", "restartDownload", "fnDownload"}));

    // The new download's first estimate is taken even though it is larger than the old one.
    downloads->progress(1, 5, 150, 300.0);
    EXPECT_EQ(v.remainTime(), 300);
    // The old attempt can no longer steer the state.
    downloads->progress(0, 149, 150, 1.0);
    EXPECT_EQ(v.totalDownloaded(), 5);

    finishDownload(1, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    tick(10);
    EXPECT_EQ(exitService->statuses(), (std::vector<int>{0}));
}

TEST_F(FlowTest, FailedInstallReinstallsTheSameFileWithoutDownloading) {
    installer->setInstallResult(false);
    ContentView& v = makeDownloading();
    finishDownload(0, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    tick(9);
    EXPECT_EQ(v.installerStatus(), Status::Installing);
    tick(1);
    EXPECT_EQ(v.installerStatus(), Status::Install_failed);
    EXPECT_EQ(v.downloadDmgPath(), "/tmp/package.dmg");

    installer->setInstallResult(true);
    std::vector<std::pair<Status, double>> seenBeforeInstall;
    v.subscribe([&] {
        if (installer->installCount() == 1) {
            seenBeforeInstall.emplace_back(v.installerStatus(), v.progress());
        }
    });
    v.reinstall();
    // The screen learnt of the install line before the (blocking) install began.
    ASSERT_FALSE(seenBeforeInstall.empty());
    EXPECT_EQ(seenBeforeInstall.front(), (std::pair<Status, double>{Status::Installing, 1.0}));
    EXPECT_EQ(v.installerStatusToChange(), Status::Install_success);
    EXPECT_EQ(installer->installedPaths(),
              (std::vector<std::string>{"/tmp/package.dmg", "/tmp/package.dmg"}));
    EXPECT_EQ(installer->installThreads()[1], std::this_thread::get_id());
    EXPECT_EQ(downloads->attemptCount(), 1u);
    tick(9);
    EXPECT_TRUE(exitService->statuses().empty());
    tick(1);
    EXPECT_EQ(exitService->statuses(), (std::vector<int>{0}));
}

TEST_F(FlowTest, AQuitDuringTheInstallWaitsForItsEndAndSkipsTheFinalSteps) {
    installer->hold();
    ContentView& v = makeDownloading();
    downloads->progress(0, 150, 150, 0.0);
    downloads->succeedOnWorker(0, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return installer->installStarted(); }));
    int quits = 0;
    // Asked at once, before the main thread may even have heard that the download ended.
    v.quitWhenNoInstallRuns([&] { ++quits; });
    EXPECT_TRUE(v.isQuitPending());
    EXPECT_TRUE(logs.contains("quit waits for the install to finish"));
    // The news of the download's end reaches the main thread; the install line and its ticks
    // run their course while the quit waits.
    ASSERT_TRUE(waitFor([&] { return v.installerStatus() == Status::Installing; }));
    tick(30);
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(v.installerStatus(), Status::Installing);

    journal->clear();
    installer->release();
    ASSERT_TRUE(waitFor([&] { return quits == 1; }));
    EXPECT_FALSE(v.isQuitPending());
    EXPECT_EQ(v.installerStatusToChange(), Status::Install_success);
    tick(30);
    // The run ended with the quit: nothing recorded, opened or reported, no exit of its own.
    EXPECT_EQ(journal->entries(), std::vector<std::string>{});
    EXPECT_TRUE(exitService->statuses().empty());
    EXPECT_EQ(quits, 1);

    // Without an install running a quit runs at once.
    ContentView& idle = make();
    idle.quitWhenNoInstallRuns([&] { ++quits; });
    EXPECT_EQ(quits, 2);
}

TEST_F(FlowTest, WorkAfterTheControllerIsGoneIsDropped) {
    installer->hold();
    makeDownloading();
    downloads->succeedOnWorker(0, "/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return installer->installStarted(); }));
    view.reset();
    installer->release();
    downloads->joinWorkers();
    loop->drain();  // the posted state changes find no controller and do nothing
    EXPECT_TRUE(exitService->statuses().empty());
}

}  // namespace
}  // namespace corvane
