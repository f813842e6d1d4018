// The application shell: where the window goes, and what closing it means in each step.
#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>

#include "gui_support.h"
#include "platform/log.h"
#include "ui/app_menu.h"
#include "ui/exit_alert_window.h"
#include "ui/main_content_view.h"

namespace corvane::gui_test {
namespace {

using Ints = std::vector<int>;
using Status = INSTALLER_STATUS;

TEST(WindowArithmetic, TheWindowIsCentredByWholePointsAndThePanelSitsOverIt) {
    EXPECT_EQ(ui::mainWindowFrame(QSizeF(1440.9, 900.9)), (ui::MacRect{380, 204, 680, 492}));
    EXPECT_EQ(ui::mainWindowFrame(QSizeF(1281, 801)), (ui::MacRect{300, 154, 680, 492}));
    EXPECT_EQ(ui::exitPanelFrame(QPoint(0, 0)), (ui::MacRect{188, 128, 304, 236}));
    // Bottom-left origin to top-left origin on a 900-point screen.
    EXPECT_EQ(ui::toQtRect({0, 0, 100, 50}, 900), QRect(0, 850, 100, 50));
    EXPECT_EQ(ui::flippedFrame(ui::ExitAlertPanel::kCancelFrame, 236), QRect(150, 148, 110, 48));
    // Points are printed as the platform prints floating-point numbers.
    EXPECT_EQ(ui::formatPoints(1440.0), "1440.0");
    EXPECT_EQ(ui::formatPoints(1512.5), "1512.5");
}

TEST(Shell, TheWindowIsCentredOnTheMainScreenAndTheScreenLogged) {
    for (const bool screen : {true, false}) {
        SCOPED_TRACE(screen);
        platform::ScopedLogCapture log;
        SetupWindow setup({.screen = screen ? std::optional(QSizeF(1440, 900)) : std::nullopt});
        EXPECT_EQ(log.contains("主屏幕大小: 1440.0 x 900.0"), screen);
        EXPECT_EQ(log.contains("无法获取主屏幕"), !screen) << "the window stays where it is";
        EXPECT_EQ(setup.window().frameGeometry().size(), QSize(680, 492));
        EXPECT_EQ(setup.window().minimumSize(), setup.window().maximumSize()) << "fixed size";
        EXPECT_TRUE(setup.window().isVisible());
    }
    SetupWindow setup;
    EXPECT_EQ(setup.window().frameGeometry(), QRect(380, 204, 680, 492));
    EXPECT_EQ(setup.window().windowTitle(), "Corvane安装程序");
}

TEST(Shell, ClosingBeforeTheInstallOrAfterAFailureQuits) {
    struct Case {
        const char* name;
        bool installed, failedDownload;
        int reason;
    } const cases[] = {{"fresh", false, false, 3},
                       {"over an existing copy", true, false, 2},
                       {"after a failed download", false, true, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetupWindow setup({.applicationExists = c.installed});
        if (c.failedDownload) {
            setup.startDownload();
            setup.fakes.downloads->fail();
            setup.fakes.downloads->join();
            ASSERT_TRUE(waitFor([&] { return g_installerStatus == Status::Download_failed; }));
        }
        setup.fakes.reporter->clear();
        EXPECT_TRUE(setup.window().close());
        settle();
        const auto calls = setup.fakes.reporter->calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(rawValue(calls[0].result), c.reason);
        EXPECT_FALSE(calls[0].bSuccess || calls[0].bSilent);
        EXPECT_EQ(calls[0].bCover, c.installed);
        EXPECT_TRUE(calls[0].force);
        EXPECT_EQ(setup.terminations(), 1);
        EXPECT_EQ(setup.fakes.reporter->flushes(), 1) << "the report is flushed before quitting";
        EXPECT_EQ(setup.fakes.downloads->discards(), 1) << "a quit leaves no partial download";
    }
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

TEST(Shell, ClosingDuringTheDownloadAsksCancelGoesOnConfirmQuits) {
    SetupWindow setup({.applicationExists = true});
    setup.startDownload();
    // Put the window's bottom-left corner at (100, 50) of the 900-point screen.
    setup.window().move(100, 900 - 50 - setup.window().height());
    settle();
    setup.fakes.reporter->clear();
    QRect panelGeometry;
    answerExitPanel(setup, false, [&] {
        ui::ExitAlertPanel* panel = setup.delegate().confirmCloseAlert();
        panelGeometry = panel->geometry();
        EXPECT_TRUE(panel->isModal());
        EXPECT_EQ(panel->confirmButton()->accessibleName(), "确认");
        EXPECT_EQ(panel->cancelButton()->accessibleName(), "取消");
        EXPECT_EQ(panel->confirmButton()->geometry(), QRect(20, 148, 110, 48));
        EXPECT_EQ(panel->cancelButton()->geometry(), QRect(150, 148, 110, 48));
        EXPECT_TRUE(panel->cancelButton()->hasFocus()) << "the safe answer is the default";
    });
    EXPECT_FALSE(setup.window().close());
    settle();
    EXPECT_TRUE(setup.window().isVisible());
    EXPECT_EQ(setup.controller().installerStatus(), Status::Downloading);
    EXPECT_TRUE(setup.fakes.reporter->calls().empty()) << "cancel reports nothing";
    EXPECT_EQ(setup.terminations(), 0);
    EXPECT_EQ(setup.fakes.downloads->discards(), 0) << "the download goes on";
    EXPECT_EQ(panelGeometry, QRect(100 + 188, 900 - (50 + 128) - 236, 304, 236));
    EXPECT_FALSE(setup.delegate().confirmCloseAlert()->isVisible());
    // The download still reports to the screen.
    setup.fakes.downloads->progress(5, 10, 3);
    settle();
    EXPECT_DOUBLE_EQ(setup.controller().progress(), 0.5);

    answerExitPanel(setup, true);
    setup.window().close();
    settle();
    ASSERT_EQ(setup.fakes.reporter->calls().size(), 1u);
    EXPECT_EQ(setup.fakes.reporter->reasons(), Ints{3})
        << "the panel reports a plain Quit even over an existing install";
    EXPECT_FALSE(setup.fakes.reporter->calls().front().bCover);
    EXPECT_EQ(setup.fakes.reporter->flushes(), 1);
    EXPECT_EQ(setup.terminations(), 1);
    EXPECT_EQ(setup.fakes.downloads->discards(), 1) << "the running download is discarded";
    EXPECT_FALSE(setup.delegate().confirmCloseAlert()->isVisible());
}

TEST(Shell, TheProgressTickKeepsRunningUnderTheExitPanel) {
    SetupWindow setup;
    setup.startDownload();
    setup.fakes.downloads->progress(10, 10, 0);
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
    setup.fakes.installer->hold();
    setup.startDownload();
    setup.fakes.reporter->clear();
    bool panelClosedByItself = false;
    QTimer::singleShot(0, [&] {
        ui::ExitAlertPanel* panel = setup.delegate().confirmCloseAlert();
        ASSERT_TRUE(panel && panel->isVisible());
        setup.fakes.downloads->progress(10, 10, 0);
        setup.fakes.downloads->succeed("/tmp/package.dmg");
        panelClosedByItself = waitFor([&] { return !panel->isVisible(); });
    });
    EXPECT_FALSE(setup.window().close());
    settle();
    EXPECT_TRUE(panelClosedByItself) << "the panel closes when the step leaves Downloading";
    EXPECT_EQ(setup.controller().installerStatus(), Status::Installing);
    EXPECT_TRUE(setup.fakes.reporter->calls().empty());

    // "确认" pressed just as the install began (the panel still up): the quit waits.
    setup.delegate().confirmClose();
    settle();
    EXPECT_TRUE(setup.controller().isQuitPending());
    EXPECT_EQ(setup.terminations(), 0);
    EXPECT_TRUE(setup.fakes.reporter->calls().empty()) << "reported once the install ends";
    EXPECT_FALSE(setup.window().close()) << "closing again changes nothing";

    setup.fakes.installer->release();
    ASSERT_TRUE(waitFor([&] { return setup.terminations() == 1; }));
    EXPECT_EQ(setup.fakes.installer->installs(), 1);
    EXPECT_EQ(setup.fakes.reporter->reasons(), Ints{3});
    EXPECT_TRUE(setup.fakes.exit->statuses().empty()) << "the success steps did not run";
}

TEST(Shell, ClosingDuringTheInstallOnlyMinimises) {
    SetupWindow setup;
    setup.fakes.installer->hold();
    setup.startDownload();
    setup.fakes.downloads->succeed("/tmp/package.dmg");
    ASSERT_TRUE(waitFor([&] { return g_installerStatus == Status::Installing; }));
    setup.fakes.reporter->clear();
    EXPECT_FALSE(setup.window().close());
    settle();
    EXPECT_TRUE(setup.window().isMinimized());
    EXPECT_TRUE(setup.fakes.reporter->calls().empty());
    EXPECT_EQ(setup.terminations(), 0);
    EXPECT_EQ(setup.delegate().confirmCloseAlert(), nullptr);
}

TEST(Shell, TheMenuBarHasTheApplicationMenuAndTheWindowMenu) {
    SetupWindow setup;
    const ui::AppMenu& menu = *setup.delegate().appMenu();
    EXPECT_EQ(menu.applicationMenu()->actions().first(), menu.aboutAction());
    EXPECT_EQ(menu.applicationMenu()->actions().last(), menu.quitAction());
    // The roles by which Qt moves them into the application menu of a Mac.
    EXPECT_EQ(menu.aboutAction()->menuRole(), QAction::AboutRole);
    EXPECT_EQ(menu.quitAction()->menuRole(), QAction::QuitRole);
    // Ctrl is ⌘ on a Mac.
    EXPECT_EQ(menu.quitAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_EQ(menu.windowMenu()->title(), "窗口");
    EXPECT_EQ(menu.windowMenu()->actions(), QList<QAction*>{menu.minimiseAction()});
    EXPECT_EQ(menu.minimiseAction()->text(), "最小化");
    EXPECT_EQ(menu.minimiseAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_M));

    QString aboutTitle;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            aboutTitle = box->windowTitle();
            box->accept();
        }
    });
    menu.aboutAction()->trigger();
    EXPECT_EQ(aboutTitle, "关于 Corvane安装程序");

    // ⌘M (Ctrl here) as a person presses it, in the middle of a download.
    setup.startDownload();
    setup.window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&setup.window()));
    QTest::keyClick(&setup.window(), Qt::Key_M, Qt::ControlModifier);
    settle();
    EXPECT_TRUE(setup.window().isMinimized());
    EXPECT_EQ(setup.controller().installerStatus(), Status::Downloading) << "nothing else changed";
    EXPECT_EQ(setup.terminations(), 0);
}

// The platform's quit command, by each way it arrives.
enum class Quit { menu, key, platform };

// Sends the quit; answers whether the platform's request was accepted (the menu and the key
// have no answer: true).
bool quitBy(SetupWindow& setup, Quit how) {
    switch (how) {
        case Quit::menu:
            setup.delegate().appMenu()->quitAction()->trigger();
            return true;
        case Quit::key:
            setup.window().activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(&setup.window()));
            QTest::keyClick(&setup.window(), Qt::Key_Q, Qt::ControlModifier);
            return true;
        case Quit::platform: {
            // What the platform's quit (the Dock's Quit, a logout) reaches the program as.
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
            return quit.isAccepted();
        }
    }
    return false;
}

TEST(Shell, ThePlatformsQuitQuitsAtOnceWithoutAReportAndWaitsOnlyForAnInstall) {
    enum class Step {
        fresh,
        overwrite,
        downloading,
        askingPanel,
        downloadFailed,
        installFailed,
        installing
    };
    struct Case {
        const char* name;
        Step step;
        Quit how;
    } const cases[] = {
        {"before the install button", Step::fresh, Quit::platform},
        {"over an existing copy", Step::overwrite, Quit::key},
        {"during the download: no panel", Step::downloading, Quit::menu},
        {"a logout while the panel asks", Step::askingPanel, Quit::platform},
        {"after a failed download", Step::downloadFailed, Quit::key},
        {"after a failed install", Step::installFailed, Quit::platform},
        {"during the install", Step::installing, Quit::key},
        {"a logout during the install", Step::installing, Quit::platform},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetupWindow setup({.applicationExists = c.step == Step::overwrite});
        if (c.step == Step::installing) {
            setup.fakes.installer->hold();
        } else if (c.step == Step::installFailed) {
            setup.fakes.installer->result = false;
        }
        if (c.step != Step::fresh && c.step != Step::overwrite) {
            setup.startDownload();
        }
        if (c.step == Step::downloadFailed) {
            setup.fakes.downloads->fail();
        } else if (c.step == Step::installing || c.step == Step::installFailed) {
            setup.fakes.downloads->progress(10, 10, 0);
            setup.fakes.downloads->succeed("/tmp/package.dmg");
        }
        if (c.step == Step::installing) {
            // The held install keeps the download's thread.
            ASSERT_TRUE(waitFor([&] { return g_installerStatus == Status::Installing; }));
        } else {
            setup.fakes.downloads->join();
        }
        settle();
        if (c.step == Step::installFailed) {
            ASSERT_TRUE(waitFor([&] { return !setup.controller().isInstallRunning(); }));
            for (int tick = 0; tick < 10; ++tick) {
                setup.controller().progressTick();
            }
            ASSERT_EQ(g_installerStatus, Status::Install_failed);
        }
        setup.fakes.reporter->clear();

        bool accepted = false;
        if (c.step == Step::askingPanel) {
            QTimer::singleShot(0, [&] {
                ASSERT_TRUE(setup.delegate().confirmCloseAlert()->isVisible());
                accepted = quitBy(setup, c.how);
            });
            EXPECT_FALSE(setup.window().close()) << "the panel returned without an answer";
            EXPECT_FALSE(setup.delegate().confirmCloseAlert()->isVisible());
        } else {
            accepted = quitBy(setup, c.how);
        }
        settle();
        const bool waits = c.step == Step::installing;
        EXPECT_EQ(setup.terminations(), waits ? 0 : 1) << "quit at once, in the same call";
        if (c.how == Quit::platform) {
            EXPECT_EQ(accepted, !waits) << "a logout is refused, not held, while the install runs";
        }
        if (c.step != Step::askingPanel) {
            EXPECT_EQ(setup.delegate().confirmCloseAlert(), nullptr) << "never asks";
        }
        EXPECT_TRUE(setup.window().isVisible()) << "not through the window's close";
        if (waits) {
            EXPECT_TRUE(setup.controller().isQuitPending());
            setup.fakes.installer->release();
            ASSERT_TRUE(waitFor([&] { return setup.terminations() == 1; }));
            EXPECT_TRUE(setup.fakes.exit->statuses().empty()) << "the success steps did not run";
        }
        EXPECT_TRUE(setup.fakes.reporter->calls().empty()) << "the quit command reports nothing";
        EXPECT_EQ(setup.fakes.reporter->flushes(), 1) << "reports in flight are flushed";
        EXPECT_EQ(setup.fakes.downloads->discards(), 1) << "no partial download stays";
    }
}

}  // namespace
}  // namespace corvane::gui_test
