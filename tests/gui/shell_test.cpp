// The application shell: where the window goes, and what closing it means in each step.
#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>

#include "gui_support.h"
#include "platform/log.h"
#include "ui/exit_alert_window.h"
#include "ui/main_content_view.h"

namespace corvane::gui_test {
namespace {

using R = ENUMInstallResult;

TEST(WindowArithmetic, TheWindowIsCentredByWholePoints) {
    EXPECT_EQ(ui::mainWindowFrame(QSizeF(1440, 900)), (ui::MacRect{380, 204, 680, 492}));
    EXPECT_EQ(ui::mainWindowFrame(QSizeF(1440.9, 900.9)), (ui::MacRect{380, 204, 680, 492}));
    EXPECT_EQ(ui::mainWindowFrame(QSizeF(1281, 801)), (ui::MacRect{300, 154, 680, 492}));
}

TEST(WindowArithmetic, TheExitPanelSitsOverTheWindow) {
    EXPECT_EQ(ui::exitPanelFrame(QPoint(380, 204)), (ui::MacRect{568, 332, 304, 236}));
    EXPECT_EQ(ui::exitPanelFrame(QPoint(0, 0)), (ui::MacRect{188, 128, 304, 236}));
    // Bottom-left origin to top-left origin on a 900-point screen.
    EXPECT_EQ(ui::toQtRect({568, 332, 304, 236}, 900), QRect(568, 332, 304, 236));
    EXPECT_EQ(ui::toQtRect({0, 0, 100, 50}, 900), QRect(0, 850, 100, 50));
    EXPECT_EQ(ui::flippedFrame(ui::ExitAlertPanel::kConfirmFrame, 236), QRect(20, 148, 110, 48));
    EXPECT_EQ(ui::flippedFrame(ui::ExitAlertPanel::kCancelFrame, 236), QRect(150, 148, 110, 48));
}

TEST(WindowArithmetic, PointsArePrintedAsThePlatformPrintsFloatingPointNumbers) {
    EXPECT_EQ(ui::formatPoints(1440.0), "1440.0");
    EXPECT_EQ(ui::formatPoints(900.0), "900.0");
    EXPECT_EQ(ui::formatPoints(1512.5), "1512.5");
}

TEST(Shell, OnA1440By900ScreenTheWindowIsCentredAndTheScreenLogged) {
    platform::ScopedLogCapture log;
    SetupWindow setup;
    EXPECT_EQ(setup.window().frameGeometry(), QRect(380, 204, 680, 492));
    EXPECT_TRUE(log.contains("主屏幕大小: 1440.0 x 900.0"));
    EXPECT_FALSE(log.contains("无法获取主屏幕"));
    EXPECT_EQ(setup.window().windowTitle(), "Corvane安装程序");
    EXPECT_EQ(setup.window().minimumSize(), setup.window().maximumSize()) << "fixed size";
    EXPECT_TRUE(setup.window().isVisible());
}

TEST(Shell, WithoutAMainScreenItSaysSoAndKeepsTheWindowWhereItIs) {
    platform::ScopedLogCapture log;
    SetupWindow setup({.screen = std::nullopt});
    EXPECT_TRUE(log.contains("无法获取主屏幕"));
    EXPECT_FALSE(log.containsPrefix("主屏幕大小"));
    EXPECT_EQ(setup.window().size(), QSize(680, 492));
}

TEST(Shell, ClosingBeforeTheInstallQuitsWithQuit) {
    SetupWindow setup;
    setup.fakes.reporter->clear();
    EXPECT_TRUE(setup.window().close());
    settle();
    ASSERT_EQ(setup.fakes.reporter->reports().size(), 1u);
    const RecordedReport report = setup.fakes.reporter->reports().front();
    EXPECT_EQ(report.result, R::Quit);
    EXPECT_FALSE(report.bSuccess);
    EXPECT_FALSE(report.bSilent);
    EXPECT_FALSE(report.bCover);
    EXPECT_TRUE(report.force);
    EXPECT_EQ(setup.terminations(), 1);
    EXPECT_EQ(setup.fakes.reporter->flushes().size(), 1u)
        << "the report is flushed before quitting";
    EXPECT_EQ(setup.fakes.downloader->discards(), 1) << "a quit leaves no partial download";
}

TEST(Shell, ClosingAnOverwriteSetupQuitsWithQuitOverExisting) {
    SetupWindow setup({.applicationExists = true});
    setup.fakes.reporter->clear();
    EXPECT_TRUE(setup.window().close());
    settle();
    ASSERT_EQ(setup.fakes.reporter->reports().size(), 1u);
    EXPECT_EQ(setup.fakes.reporter->reports().front().result, R::Quit_over_existing);
    EXPECT_TRUE(setup.fakes.reporter->reports().front().bCover);
    EXPECT_EQ(setup.terminations(), 1);
}

TEST(Shell, ClosingAfterAFailureQuitsToo) {
    SetupWindow setup;
    setup.startDownload();
    setup.fakes.downloader->fail();
    setup.fakes.downloader->join();
    ASSERT_TRUE(waitFor([&] { return g_installerStatus == INSTALLER_STATUS::Download_failed; }));
    setup.fakes.reporter->clear();
    EXPECT_TRUE(setup.window().close());
    settle();
    EXPECT_EQ(setup.fakes.reporter->results(), std::vector<R>{R::Quit});
    EXPECT_EQ(setup.terminations(), 1);
}

// Answers the exit panel from inside its modal loop, after `before` has run there.
void answerExitPanel(SetupWindow& setup, bool confirm, std::function<void()> before = {}) {
    QTimer::singleShot(0, [&setup, confirm, before = std::move(before)] {
        ui::ExitAlertPanel* panel = setup.delegate().confirmCloseAlert();
        ASSERT_NE(panel, nullptr);
        ASSERT_TRUE(panel->isVisible());
        if (before) {
            before();
        }
        click(confirm ? panel->confirmButton() : panel->cancelButton());
    });
}

TEST(Shell, ClosingDuringTheDownloadAsksAndCancelGoesOn) {
    SetupWindow setup;
    setup.startDownload();
    setup.fakes.reporter->clear();
    QRect panelGeometry;
    QStringList buttonNames;
    answerExitPanel(setup, false, [&] {
        ui::ExitAlertPanel* panel = setup.delegate().confirmCloseAlert();
        panelGeometry = panel->geometry();
        EXPECT_TRUE(panel->isModal());
        buttonNames << panel->confirmButton()->accessibleName()
                    << panel->cancelButton()->accessibleName();
        EXPECT_EQ(panel->confirmButton()->geometry(), QRect(20, 148, 110, 48));
        EXPECT_EQ(panel->cancelButton()->geometry(), QRect(150, 148, 110, 48));
        EXPECT_TRUE(panel->cancelButton()->hasFocus()) << "the safe answer is the default";
    });
    EXPECT_FALSE(setup.window().close());
    settle();
    EXPECT_TRUE(setup.window().isVisible());
    EXPECT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Downloading);
    EXPECT_TRUE(setup.fakes.reporter->reports().empty()) << "cancel reports nothing";
    EXPECT_EQ(setup.terminations(), 0);
    EXPECT_EQ(setup.fakes.downloader->discards(), 0) << "the download goes on";
    EXPECT_EQ(buttonNames, (QStringList{"确认", "取消"}));
    // Folding the drawer kept the window's bottom-left origin at (380, 204), so the panel's is
    // (568, 332).
    EXPECT_EQ(panelGeometry, ui::toQtRect(ui::exitPanelFrame(QPoint(380, 204)), 900));
    EXPECT_FALSE(setup.delegate().confirmCloseAlert()->isVisible());
    // The download still reports to the screen.
    setup.fakes.downloader->progress(5, 10, 3);
    settle();
    EXPECT_DOUBLE_EQ(setup.controller().progress(), 0.5);
}

TEST(Shell, ThePanelOfAWindowAt380By204IsAt568By332) {
    SetupWindow setup;
    setup.startDownload();
    // Put the window's bottom-left corner at (380, 204) of the 900-point screen.
    setup.window().move(380, 900 - 204 - setup.window().height());
    settle();
    QRect panelGeometry;
    answerExitPanel(setup, false,
                    [&] { panelGeometry = setup.delegate().confirmCloseAlert()->geometry(); });
    setup.window().close();
    settle();
    EXPECT_EQ(panelGeometry, QRect(568, 900 - 332 - 236, 304, 236));
}

TEST(Shell, ConfirmingTheExitPanelReportsQuitAndQuits) {
    SetupWindow setup({.applicationExists = true});
    setup.startDownload();
    setup.fakes.reporter->clear();
    answerExitPanel(setup, true);
    setup.window().close();
    settle();
    ASSERT_EQ(setup.fakes.reporter->reports().size(), 1u);
    EXPECT_EQ(setup.fakes.reporter->reports().front().result, R::Quit);
    EXPECT_FALSE(setup.fakes.reporter->reports().front().bCover)
        << "the panel reports a plain Quit even over an existing install";
    EXPECT_EQ(setup.fakes.reporter->flushes().size(), 1u);
    EXPECT_EQ(setup.terminations(), 1);
    EXPECT_EQ(setup.fakes.downloader->discards(), 1) << "the running download is discarded";
    EXPECT_FALSE(setup.delegate().confirmCloseAlert()->isVisible());
}

TEST(Shell, TheProgressTickKeepsRunningUnderTheExitPanel) {
    SetupWindow setup;
    setup.startDownload();
    setup.fakes.downloader->progress(10, 10, 0);
    settle();
    ASSERT_TRUE(setup.delegate().mainContentView()->progressTimer().isActive());
    bool advanced = false;
    answerExitPanel(setup, false, [&] {
        const double before = setup.controller().progress();
        advanced = waitFor([&] { return setup.controller().progress() > before; }, 4000);
    });
    setup.window().close();
    EXPECT_TRUE(advanced) << "the one-second tick fired while the panel was open";
}

TEST(Shell, ThePanelGoesWhenTheDownloadEndsAndAConfirmedQuitWaitsForTheInstall) {
    SetupWindow setup;
    setup.fakes.installer->holdInstalls();
    setup.startDownload();
    setup.fakes.reporter->clear();
    bool panelClosedByItself = false;
    QTimer::singleShot(0, [&] {
        ui::ExitAlertPanel* panel = setup.delegate().confirmCloseAlert();
        ASSERT_TRUE(panel && panel->isVisible());
        setup.fakes.downloader->progress(10, 10, 0);
        setup.fakes.downloader->succeed("/tmp/package.dmg");
        panelClosedByItself = waitFor([&] { return !panel->isVisible(); });
    });
    EXPECT_FALSE(setup.window().close());
    settle();
    EXPECT_TRUE(panelClosedByItself) << "the panel closes when the step leaves Downloading";
    EXPECT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Installing);
    EXPECT_TRUE(setup.fakes.reporter->reports().empty());

    // "确认" pressed just as the install began (the panel still up): the quit waits.
    setup.delegate().confirmClose();
    settle();
    EXPECT_TRUE(setup.controller().isQuitPending());
    EXPECT_EQ(setup.terminations(), 0);
    EXPECT_TRUE(setup.fakes.reporter->reports().empty()) << "reported once the install ends";
    EXPECT_FALSE(setup.window().close()) << "closing again changes nothing";

    setup.fakes.installer->releaseInstalls();
    ASSERT_TRUE(waitFor([&] { return setup.terminations() == 1; }));
    EXPECT_EQ(setup.fakes.installer->installs(), 1);
    EXPECT_EQ(setup.fakes.reporter->results(), std::vector<R>{R::Quit});
    EXPECT_FALSE(setup.fakes.exit->status()) << "the success steps did not run";
}

TEST(Shell, ClosingDuringTheInstallOnlyMinimises) {
    SetupWindow setup;
    setup.fakes.installer->holdInstalls();
    setup.startDownload();
    setup.fakes.downloader->succeed("/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return g_installerStatus == INSTALLER_STATUS::Installing; }));
    setup.fakes.reporter->clear();
    EXPECT_FALSE(setup.window().close());
    settle();
    EXPECT_TRUE(setup.window().isMinimized());
    EXPECT_TRUE(setup.fakes.reporter->reports().empty());
    EXPECT_EQ(setup.terminations(), 0);
    EXPECT_EQ(setup.delegate().confirmCloseAlert(), nullptr);
    setup.fakes.installer->releaseInstalls();
    setup.fakes.downloader->join();
}

}  // namespace
}  // namespace corvane::gui_test
