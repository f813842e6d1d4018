// The controller driven as the screens drive it, on fakes, with download ends on a worker thread.
#include <gtest/gtest.h>

#include <algorithm>

#include <future>
#include <limits>
#include <memory>
#include <thread>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "setup/content_view.h"
#include "setup/globals.h"
#include "support/fake_services.h"
#include "support/test_support.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Status = INSTALLER_STATUS;
using Pairs = test::FakeWindow::Sizes;
using Ints = std::vector<int>;
using Strings = std::vector<std::string>;

class FlowTest : public ::testing::Test {
  protected:
    void TearDown() override {
        installer->releaseProbe();
        installer->release();
        downloads->join();
        loop->drain();
        view.reset();
    }

    // A controller whose start-up probes have ended (or, with `probed` false, may still run).
    ContentView& make(bool probed = true) {
        view = std::make_unique<ContentView>(fakes.services(loop));
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

    // Runs the main loop until `done` holds; workers set some conditions, so the loop is polled.
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

    // The download hands over its file; waits until the main thread knows.
    void finishDownload(size_t attempt = test::FakeDownloads::kLatest) {
        downloads->progress(150, 150, 1.0, attempt);
        downloads->succeed("/tmp/package.dmg", attempt);
        ASSERT_TRUE(waitFor([&] { return view->installerStatus() == Status::Installing; }));
    }
    // ... and until the install's result is stored for the tick.
    void finishInstall() {
        finishDownload();
        ASSERT_TRUE(waitFor([&] { return view->installerStatusToChange().has_value(); }));
    }

    test::ScopedEnv packageBase{"CORVANE_PACKAGE_BASE", "https://packages.test"};
    platform::ScopedLogCapture logs;
    test::Fakes fakes;
    std::shared_ptr<test::Journal> journal = fakes.journal;
    std::shared_ptr<test::FakeDownloads> downloads = fakes.downloads;
    std::shared_ptr<test::FakeInstaller> installer = fakes.installer;
    std::shared_ptr<test::FakeReporter> reporter = fakes.reporter;
    std::shared_ptr<platform::RunLoop> loop = std::make_shared<platform::RunLoop>();
    std::unique_ptr<ContentView> view;
};

TEST_F(FlowTest, StartUpOpensTheDrawerOnAFreshMachineOnlyAndReportsTheStart) {
    ContentView& v = make();
    EXPECT_FALSE(v.isOverwriteInstallation());
    EXPECT_TRUE(v.isShowDragBtn());
    EXPECT_TRUE(v.isExpanded());
    EXPECT_FALSE(reporter->data().bCoverInstall);
    EXPECT_EQ(v.installerStatus(), Status::Prepare_to_download);
    EXPECT_EQ(g_installerStatus.load(), Status::Prepare_to_download);
    EXPECT_FALSE(v.isConfirmProtocol());
    EXPECT_TRUE(v.isSetDefault() && v.isPermitInstallService());

    // Interrupted installs are undone before the app is looked for; the start is reported last.
    EXPECT_EQ(journal->entries(),
              (Strings{"recoverInterruptedInstalls", "applicationExists", "checkOSArch",
                       "ensureIniFileExisted", "getPackageInfo", "probeMachine", "report 100"}));
    const auto calls = reporter->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].bSuccess || calls[0].bSilent || calls[0].bCover);
    EXPECT_TRUE(calls[0].force);

    v.drawerResize();
    v.setIsExpanded(false);
    v.drawerResize();

    // Over an installed copy: no drawer nor switch, and the reports say so.
    installer->appExists = true;
    ContentView& over = make();
    EXPECT_TRUE(over.isOverwriteInstallation());
    EXPECT_FALSE(over.isShowDragBtn() || over.isExpanded());
    EXPECT_TRUE(reporter->data().bCoverInstall);
    over.drawerResize();
    EXPECT_EQ(fakes.window->sizes(), (Pairs{{680, 492}, {680, 436}, {680, 436}}));
}

TEST_F(FlowTest, PackageAddressFollowsTheProcessor) {
    for (const auto& [arch, file] :
         std::vector<std::pair<OS_TYPE, std::string>>{{OS_TYPE::arm, "arm64"},
                                                      {OS_TYPE::undetermined, "x86_64"},
                                                      {OS_TYPE::x86, "x86_64"}}) {
        installer->arch = arch;
        makeDownloading();
        EXPECT_EQ(downloads->url(), "https://packages.test/velodoc/corvanereader_" + file + ".dmg");
    }
}

TEST_F(FlowTest, ThePressBeforeTheProbeEndedDownloadsFromTheAddressItFinds) {
    installer->arch = OS_TYPE::arm;
    installer->holdProbe();
    ContentView& v = make(false);
    EXPECT_FALSE(v.machineProbed());
    EXPECT_TRUE(reporter->reasons().empty()) << "no start reported before the probe";
    v.setIsConfirmProtocol(true);
    ASSERT_TRUE(v.isConfirmProtocol());  // else the press waits for the held probe
    v.installButtonPressed();
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(downloads->attempts(), 0u) << "no download from an address not yet known";

    installer->releaseProbe();
    ASSERT_TRUE(waitFor([&] { return downloads->attempts() == 1u; }));
    EXPECT_EQ(downloads->url(), "https://packages.test/velodoc/corvanereader_arm64.dmg");
    EXPECT_EQ(reporter->reasons(), Ints{100});
    finishDownload();
}

// The shell opens the gate once the window's first frame is drawn: no probe runs before, and
// a window that never draws holds the probes back only for the gate's bound.
TEST_F(FlowTest, TheProbesWaitForTheStartUpGate) {
    for (const bool opened : {true, false}) {
        SCOPED_TRACE(opened ? "gate opened" : "gate never opened");
        const auto probes = [&] {
            const auto entries = fakes.journal->entries();
            return std::count(entries.begin(), entries.end(), "checkOSArch");
        };
        const auto probesBefore = probes();
        std::promise<void> firstFrame;
        ContentView::Services services = fakes.services(loop);
        services.startupGate = firstFrame.get_future().share();
        const auto start = std::chrono::steady_clock::now();
        view = std::make_unique<ContentView>(std::move(services));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(probes(), probesBefore) << "no probe before the first frame";
        if (opened) {
            firstFrame.set_value();
        }
        ASSERT_TRUE(waitFor([&] { return view->machineProbed(); }));
        if (!opened) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, ContentView::kStartupGateLimit);
        }
        view.reset();
    }
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
    EXPECT_EQ(reporter->reasons(), (Ints{100, 9}));
    loop->drain();  // the worker's own hand-over finds the start done
    EXPECT_EQ(reporter->reasons(), (Ints{100, 9}));
}

TEST_F(FlowTest, WithoutAWindowResizingDoesNothing) {
    fakes.window = nullptr;
    ContentView& v = make();
    v.resizeWindowTo(680, 492);  // must simply not fail
    auto late = std::make_shared<test::FakeWindow>();
    v.setWindow(late);
    v.resizeWindowTo(680, 436);
    EXPECT_EQ(late->sizes(), (Pairs{{680, 436}}));
}

TEST_F(FlowTest, PromptButtonsCloseThePromptAndReportWithoutDownloading) {
    ContentView& v = make();
    void (ContentView::*const answers[])() = {&ContentView::closeButtonPressed,
                                              &ContentView::cancelButtonPressed,
                                              &ContentView::agreeButtonPressed};
    for (auto answer : answers) {
        v.installButtonPressed();
        EXPECT_TRUE(v.isShowAlert());
        EXPECT_EQ(v.installerStatus(), Status::Prepare_to_download);
        v.armInstallButton();
        (v.*answer)();
        EXPECT_FALSE(v.isShowAlert());
    }
    EXPECT_TRUE(v.isConfirmProtocol()) << "only the last answer agreed";
    EXPECT_EQ(downloads->attempts(), 0u);  // the user presses the button again
    EXPECT_EQ(journal->count("checkIfUsingNow"), 0u);
    EXPECT_EQ(reporter->reasons(), (Ints{100, 9, 11, 9, 12, 9, 10}));

    v.installButtonPressed();  // starts the download and folds the drawer
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(g_installerStatus.load(), Status::Downloading);
    EXPECT_FALSE(v.isExpanded());
    EXPECT_EQ(fakes.window->sizes(), (Pairs{{680, 436}}));
    EXPECT_EQ(downloads->attempts(), 1u);
}

TEST_F(FlowTest, InstallWhileCorvaneRunsShowsTheAlertOnly) {
    installer->usingNow = true;
    ContentView& v = makeDownloading();
    EXPECT_TRUE(v.isUsingNow());
    EXPECT_EQ(v.installerStatus(), Status::Prepare_to_download);
    EXPECT_EQ(reporter->reasons(), Ints{100});
    EXPECT_EQ(downloads->attempts(), 0u);
    v.setIsUsingNow(false);  // the alert's "好的"
    EXPECT_FALSE(v.isUsingNow());
}

TEST_F(FlowTest, PressesBeforeTheScreenIsBuiltAgainActOnce) {
    ContentView& v = make();
    // The screen rebuilds (and re-arms) on every notification, as the real one does.
    v.subscribe([&] {
        if (v.installerStatus() == Status::Prepare_to_download) {
            v.armInstallButton();
        }
    });
    // Presses and drags on what the prompt leaves of the button, even on a rebuilt screen.
    for (int i = 0; i < 3; ++i) {
        v.armInstallButton();
        v.installButtonPressed();
    }
    EXPECT_TRUE(v.isShowAlert());
    EXPECT_EQ(reporter->reasons(), (Ints{100, 9}));
    // Once answered, the next press asks (and reports) again.
    v.closeButtonPressed();
    v.installButtonPressed();
    EXPECT_EQ(reporter->reasons(), (Ints{100, 9, 11, 9}));
    v.agreeButtonPressed();
    // A held press with movement calls the handler several times before any redraw.
    for (int i = 0; i < 3; ++i) {
        v.installButtonPressed();
    }
    EXPECT_EQ(downloads->attempts(), 1u);
}

TEST_F(FlowTest, ObserversHearEveryChangeOnTheMainThread) {
    ContentView& v = make();
    const auto mainThread = std::this_thread::get_id();
    int calls = 0;
    bool offMain = false;
    const int id = v.subscribe([&] {
        ++calls;
        offMain = offMain || std::this_thread::get_id() != mainThread;
    });
    v.setIsSetDefault(false);
    v.setIsSetDefault(false);  // no change, no redraw
    EXPECT_EQ(calls, 1);
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    EXPECT_EQ(calls, 3);
    downloads->progress(10, 150, 30.0);
    EXPECT_EQ(calls, 4);

    // The download and the install end on the worker; the screens still hear on the main thread.
    downloads->succeed("/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    EXPECT_FALSE(offMain);

    v.unsubscribe(id);
    const int before = calls;
    v.setIsExpanded(true);
    EXPECT_EQ(calls, before);

    // An observer may unsubscribe another while being told.
    int second = 0;
    int secondId = 0;
    v.subscribe([&] { v.unsubscribe(secondId); });
    secondId = v.subscribe([&] { ++second; });
    v.setIsExpanded(false);
    EXPECT_EQ(second, 0);
}

TEST_F(FlowTest, ProgressCountersNeverGoDownAndTheEstimateNeverGoesUp) {
    ContentView& v = makeDownloading();
    struct Step {
        int64_t written, expected;
        double secondsLeft;
        int64_t shownWritten, shownExpected, remain;  // remain < 0: not checked
        const char* timeLeft;
        const char* percentage;
        double bar;
    };
    const Step steps[] = {
        {1, 150, 125.9, 1, 150, 125, "下载剩余2分5秒", "0%", 288.0 / 150},
        {20, 150, 90.7, 20, 150, 90, "下载剩余1分30秒", "13%", 288.0 * 20 / 150},
        {30, 150, 95.0, 30, 150, 90, "下载剩余1分30秒", "20%", 288.0 * 30 / 150},
        // Smaller counts are not taken; a smaller estimate is.
        {25, 140, 80.2, 30, 150, 80, "下载剩余1分20秒", "20%", 288.0 * 30 / 150},
        {75, 150, 60.0, 75, 150, 60, "下载剩余1分0秒", "50%", 144.0},
        {76, 150, 59.99, 76, 150, 59, "下载剩余59秒", "50%", 288.0 * 76 / 150},
        // 150 whole megabytes of 150.7 are written: the download's part of the bar is full.
        {150, 150, 0.4, 150, 150, -1, nullptr, "100%", 288.0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.written);
        EXPECT_FALSE(v.isProgressTickActive());
        downloads->progress(s.written, s.expected, s.secondsLeft);
        EXPECT_EQ(v.totalDownloaded(), s.shownWritten);
        EXPECT_EQ(v.totalExpectedDownload(), s.shownExpected);
        EXPECT_EQ(v.downloadedText(), std::to_string(s.shownWritten) + "MB");
        EXPECT_EQ(v.packageSizeText(), " / " + std::to_string(s.shownExpected) + "MB ");
        if (s.remain >= 0) {
            EXPECT_EQ(v.remainTime(), s.remain);
            EXPECT_EQ(v.timeLeftText(), s.timeLeft);
        }
        EXPECT_EQ(v.percentageText(), s.percentage);
        EXPECT_NEAR(v.progressBarLength(), s.bar, 1e-9);
    }
    EXPECT_TRUE(v.isProgressTickActive());
}

TEST_F(FlowTest, EstimatesThatAreNoTimeAreIgnored) {
    ContentView& v = makeDownloading();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // The first update may come after no measurable time.
    for (double bad : {inf, nan, -inf, 1e19, 9223372036854775808.0, -3.0}) {
        downloads->progress(1, 150, bad);
        EXPECT_EQ(v.remainTime(), 0) << bad;
    }
    downloads->progress(2, 150, 40.0);
    for (double bad : {inf, nan, -inf, 1e300, -1.0, 9223372036854774784.0}) {
        downloads->progress(3, 150, bad);  // the largest that fits is not smaller either
        EXPECT_EQ(v.remainTime(), 40) << bad;
    }
}

TEST_F(FlowTest, PackageUnderOneMegabyteNeverMakesTheBarUndefined) {
    ContentView& v = makeDownloading();
    downloads->progress(0, 0, 1.0);
    EXPECT_EQ(v.progress(), 0.0);
    EXPECT_EQ(v.percentageText(), "0%");
    // The file arrives although the counts never filled the bar: the install line still appears.
    downloads->succeed("/tmp/small.dmg");
    ASSERT_TRUE(waitFor([&] { return v.installerStatusToChange().has_value(); }));
    EXPECT_EQ(v.progress(), 1.0);
    EXPECT_TRUE(v.isProgressTickActive());
}

TEST_F(FlowTest, SuccessfulDownloadInstallsOnTheWorkerAndTheTickAppliesTheResult) {
    const auto mainThread = std::this_thread::get_id();
    ContentView& v = makeDownloading();
    finishInstall();
    EXPECT_EQ(g_installerStatus.load(), Status::Installing);
    EXPECT_EQ(v.installerStatusToChange(), Status::Install_success);
    EXPECT_FALSE(v.isInstallRunning());
    ASSERT_EQ(installer->installThreads().size(), 1u);
    EXPECT_NE(installer->installThreads()[0], mainThread);
    EXPECT_EQ(installer->installedPaths(), Strings{"/tmp/package.dmg"});

    // A progress report that was still on its way does not pull the bar back.
    v.progressTick();
    downloads->progress(150, 150, 0.0);
    EXPECT_DOUBLE_EQ(v.progress(), 1.03);

    // Nine ticks take the bar from 1.0 to 1.27; the tenth applies the stored result.
    for (double p : {1.06, 1.09, 1.12, 1.15, 1.18, 1.21, 1.24, 1.27}) {
        v.progressTick();
        EXPECT_NEAR(v.progress(), p, 1e-9);
        EXPECT_EQ(v.installerStatus(), Status::Installing);
    }
    EXPECT_TRUE(fakes.exit->statuses().empty());
    EXPECT_NEAR(v.progressBarLength(), 1.27 * 288.0, 1e-6);
    v.progressTick();
    EXPECT_EQ(v.installerStatus(), Status::Install_success);
    // Whatever the screens still do, the final steps run once.
    tick(2);
    EXPECT_EQ(fakes.exit->statuses(), Ints{0});
    EXPECT_EQ(journal->count("report 1"), 1u);
    for (const auto& call : reporter->calls()) {
        EXPECT_EQ(call.thread, mainThread);
    }
}

TEST_F(FlowTest, FinalStepsFollowTheKindOfInstallAndTheOptions) {
    const Strings tail{"report 1",  "resumeServices", "startUse",
                       "report 21", "flush 3000",     "exit 0"};
    auto with = [&tail](Strings head) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    struct Case {
        bool installed, setDefault;
        Strings steps;
    } const cases[] = {
        {false, true,
         with({"setDefault 1", "installService", "shutDownServices",
               "recordPackageDetail 1.0.0.1 fresh"})},
        {false, false,
         with({"setDefault 0", "installService", "shutDownServices",
               "recordPackageDetail 1.0.0.1 fresh"})},
        // Over an existing copy no option is written and nothing is stopped.
        {true, true, with({"recordPackageDetail 1.0.0.1 overwrite"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.installed << c.setDefault);
        installer->appExists = c.installed;
        ContentView& v = make();
        v.setIsSetDefault(c.setDefault);
        v.setIsConfirmProtocol(true);
        v.installButtonPressed();
        finishInstall();
        journal->clear();
        tick(10);
        EXPECT_EQ(journal->entries(), c.steps);
        downloads->join();
    }
}

TEST_F(FlowTest, SlowInstallKeepsTheInstallLineUntilItEndsThenShowsItsResult) {
    for (const bool ok : {false, true}) {
        SCOPED_TRACE(ok);
        installer->hold();
        installer->result = ok;
        const int before = installer->installs();
        ContentView& v = makeDownloading();
        finishDownload();
        ASSERT_TRUE(waitFor([&] { return installer->installs() == before + 1; }));
        tick(30);  // far past the ten-tick wait
        EXPECT_EQ(v.installerStatus(), Status::Installing);
        EXPECT_NEAR(v.progress(), 1.27, 1e-9);
        EXPECT_TRUE(v.isProgressTickActive());
        EXPECT_TRUE(v.isInstallRunning());
        EXPECT_EQ(g_installerStatus.load(), Status::Installing);  // the shell only minimises
        EXPECT_TRUE(fakes.exit->statuses().empty());
        // A stray "重新安装" meanwhile must not start a second install over the same folders.
        v.reinstall();
        v.install("/tmp/package.dmg");
        EXPECT_EQ(installer->installs(), before + 1);

        installer->release();
        // The result shows as soon as the install ends, without waiting for another tick.
        const Status end = ok ? Status::Install_success : Status::Install_failed;
        ASSERT_TRUE(waitFor([&] { return v.installerStatus() == end; }));
        EXPECT_EQ(fakes.exit->statuses(), ok ? Ints{0} : Ints{});
        if (!ok) {
            EXPECT_FALSE(v.isProgressTickActive());
            EXPECT_EQ(g_installerStatus.load(), end);
        }
    }
    EXPECT_EQ(installer->mostAtOnce(), 1);
}

TEST_F(FlowTest, BarFullWithoutAFileEndsInFailureAndReinstallDownloadsAgain) {
    ContentView& v = makeDownloading();
    downloads->progress(150, 150, 0.0);
    tick(9);
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    tick(1);
    // No install ran and none will: the install-failed screen.
    EXPECT_EQ(v.installerStatus(), Status::Install_failed);
    EXPECT_FALSE(v.downloadDmgPath());
    v.reinstall();
    EXPECT_EQ(installer->installs(), 0);
    EXPECT_EQ(downloads->attempts(), 2u);
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(v.percentageText(), "0%");
}

TEST_F(FlowTest, FailedDownloadKeepsCountersAndRetryStartsAfresh) {
    ContentView& v = makeDownloading();
    downloads->progress(40, 150, 90.0);
    downloads->fail();
    ASSERT_TRUE(waitFor([&] { return v.installerStatus() == Status::Download_failed; }));
    EXPECT_EQ(g_installerStatus.load(), Status::Download_failed);
    EXPECT_EQ(v.totalDownloaded(), 40);
    EXPECT_EQ(v.remainTime(), 90);
    EXPECT_EQ(reporter->reasons(), Ints{100});  // failures are not reported

    v.restartDownload();
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(v.totalDownloaded(), 0);
    EXPECT_EQ(v.totalExpectedDownload(), 0);
    EXPECT_EQ(v.remainTime(), 0);
    EXPECT_EQ(v.percentageText(), "0%");
    ASSERT_EQ(downloads->attempts(), 2u);
    EXPECT_EQ(logs.lines(), (Strings{"fnDownload", "restartDownload", "fnDownload"}));

    // The new download's first estimate is taken even though it is larger than the old one.
    downloads->progress(5, 150, 300.0, 1);
    EXPECT_EQ(v.remainTime(), 300);
    // The old attempt can no longer steer the state.
    downloads->progress(149, 150, 1.0, 0);
    EXPECT_EQ(v.totalDownloaded(), 5);

    finishInstall();
    tick(10);
    EXPECT_EQ(fakes.exit->statuses(), Ints{0});
}

TEST_F(FlowTest, FailedInstallReinstallsTheSameFileWithoutDownloading) {
    installer->result = false;
    ContentView& v = makeDownloading();
    finishInstall();
    tick(9);
    EXPECT_EQ(v.installerStatus(), Status::Installing);
    tick(1);
    EXPECT_EQ(v.installerStatus(), Status::Install_failed);
    EXPECT_EQ(v.downloadDmgPath(), "/tmp/package.dmg");

    installer->result = true;
    std::vector<std::pair<Status, double>> seenBeforeInstall;
    v.subscribe([&] {
        if (installer->installs() == 1) {
            seenBeforeInstall.emplace_back(v.installerStatus(), v.progress());
        }
    });
    v.reinstall();
    // The screen learnt of the install line before the (blocking) install began.
    ASSERT_FALSE(seenBeforeInstall.empty());
    EXPECT_EQ(seenBeforeInstall.front(), (std::pair<Status, double>{Status::Installing, 1.0}));
    EXPECT_EQ(v.installerStatusToChange(), Status::Install_success);
    EXPECT_EQ(installer->installedPaths(), (Strings{"/tmp/package.dmg", "/tmp/package.dmg"}));
    EXPECT_EQ(installer->installThreads()[1], std::this_thread::get_id());
    EXPECT_EQ(downloads->attempts(), 1u);
    tick(9);
    EXPECT_TRUE(fakes.exit->statuses().empty());
    tick(1);
    EXPECT_EQ(fakes.exit->statuses(), Ints{0});
}

// An install that refused the image removed it: "重新安装" fetches it again, then installs.
TEST_F(FlowTest, ReinstallAfterARefusedImageDownloadsItAgain) {
    installer->result = false;
    ContentView& v = makeDownloading();
    finishInstall();
    installer->packageKept = false;
    tick(10);
    ASSERT_EQ(v.installerStatus(), Status::Install_failed);
    installer->result = true;
    v.reinstall();
    EXPECT_EQ(v.installerStatus(), Status::Downloading);
    EXPECT_EQ(installer->installs(), 1);
    EXPECT_EQ(downloads->attempts(), 2u);
    EXPECT_TRUE(logs.contains("reinstall: no downloaded image, downloading it again"));
    installer->packageKept = true;
    finishDownload();
    ASSERT_TRUE(waitFor([&] { return installer->installs() == 2 && !v.isInstallRunning(); }));
    tick(10);
    EXPECT_EQ(fakes.exit->statuses(), Ints{0});
}

TEST_F(FlowTest, AQuitDuringTheInstallWaitsForItsEndAndSkipsTheFinalSteps) {
    installer->hold();
    ContentView& v = makeDownloading();
    downloads->progress(150, 150, 0.0);
    downloads->succeed("/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return installer->installs() == 1; }));
    int quits = 0;
    // Asked at once, before the main thread may even have heard that the download ended.
    v.quitWhenNoInstallRuns([&] { ++quits; });
    EXPECT_TRUE(v.isQuitPending());
    // The install line and its ticks run their course while the quit waits.
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
    EXPECT_EQ(journal->entries(), Strings{});
    EXPECT_EQ(quits, 1);

    // Without an install running a quit runs at once.
    make().quitWhenNoInstallRuns([&] { ++quits; });
    EXPECT_EQ(quits, 2);
}

TEST_F(FlowTest, WorkAfterTheControllerIsGoneIsDropped) {
    installer->hold();
    makeDownloading();
    downloads->succeed("/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return installer->installs() == 1; }));
    view.reset();
    installer->release();
    downloads->join();
    loop->drain();  // the posted state changes find no controller and do nothing
    EXPECT_TRUE(fakes.exit->statuses().empty());
}

}  // namespace
}  // namespace corvane
