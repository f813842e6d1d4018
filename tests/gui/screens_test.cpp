// The wizard's screens, driven through the real window with fakes behind the controller.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QTest>

#include "gui_support.h"
#include "ui/alert_window.h"
#include "ui/btn_view.h"
#include "ui/check_box_toggle.h"
#include "ui/download_failed_view.h"
#include "ui/downloading_view.h"
#include "ui/drag_menu_toggle.h"
#include "ui/drag_menu_view.h"
#include "ui/install_failed_view.h"
#include "ui/introducing_view.h"
#include "ui/link_label.h"
#include "ui/main_content_view.h"
#include "ui/progress_bar_view.h"
#include "ui/running_alert.h"
#include "ui/text_button.h"
#include "ui/ui_style.h"

namespace corvane::gui_test {
namespace {

using Ints = std::vector<int>;
using Status = INSTALLER_STATUS;

// The visible buttons inside `view` (links are not buttons).
QStringList visibleButtons(QWidget* view) {
    QStringList names;
    for (auto* button : view->findChildren<QAbstractButton*>()) {
        if (button->isVisibleTo(view)) {
            names << button->text();
        }
    }
    return names;
}

TEST(Screens, AFreshSetupShowsTheDrawerAnOverwriteOnlyTheMainArea) {
    for (const bool installed : {false, true}) {
        SCOPED_TRACE(installed);
        SetupWindow setup({.applicationExists = installed});
        EXPECT_EQ(setup.window().size(), QSize(680, installed ? 436 : 492));
        EXPECT_EQ(setup.find<QWidget>("dragMenuView")->isVisible(), !installed);
        EXPECT_EQ(setup.find<QWidget>("customInstallToggle")->isVisible(), !installed);
        EXPECT_TRUE(setup.find<QWidget>("installButton")->isVisible());
        EXPECT_EQ(setup.fakes.reporter->data().bCoverInstall, installed);
        EXPECT_EQ(setup.fakes.reporter->reasons(), Ints{100});
    }
}

TEST(Screens, TheDrawerHoldsTheDefaultReaderBoxAndTheSwitchOpensAndClosesIt) {
    SetupWindow setup;
    auto* drawer = setup.find<ui::DragMenuView>("dragMenuView");
    EXPECT_EQ(drawer->geometry(), QRect(0, 436, 680, 56));
    auto* setDefault = setup.find<ui::CheckBoxToggle>("setDefaultToggle");
    EXPECT_TRUE(setDefault->isVisible());
    EXPECT_EQ(setDefault->pictureName(), "checkedbox");
    // The second box keeps its place (half the drawer) but is neither drawn nor clickable.
    auto* permit = setup.find<ui::CheckBoxToggle>("permitServiceToggle");
    EXPECT_FALSE(permit->isVisible());
    EXPECT_EQ(permit->parentWidget()->geometry().x(), 340);
    EXPECT_EQ(setDefault->parentWidget()->width(), 340);
    EXPECT_EQ(setDefault->mapTo(drawer, QPoint(0, 0)), QPoint(20, 11 + 10));
    auto* switchToggle = setup.find<ui::DragMenuToggle>("customInstallToggle");
    EXPECT_EQ(switchToggle->pictureName(), "dragUp");
    for (const bool open : {false, true}) {
        click(switchToggle,
              (open ? switchToggle->pictureRect() : switchToggle->labelRect()).center());
        EXPECT_EQ(setup.controller().isExpanded(), open);
        EXPECT_EQ(setup.window().size(), QSize(680, open ? 492 : 436));
        EXPECT_EQ(drawer->isVisible(), open);
        EXPECT_EQ(switchToggle->pictureName(), open ? "dragUp" : "dragDown");
    }
}

TEST(Screens, TheIntroductionHasItsButtonAndAgreementWhereTheyBelong) {
    SetupWindow setup;
    auto* button = setup.find<ui::BtnView>("installButton");
    auto* area = setup.find<QWidget>("mainArea");
    EXPECT_EQ(button->size(), QSize(200, 60));
    const QRect onArea(button->mapTo(area, QPoint(0, 0)), button->size());
    EXPECT_EQ(onArea.center().x(), 340 - 1);
    auto* agreement = setup.find<ui::CheckBoxToggle>("agreementToggle");
    const QPoint agreementAt = agreement->mapTo(area, QPoint(0, 0));
    EXPECT_EQ(agreementAt.x(), 20);
    // 40 below the button, then the row's margin of 20; the row ends inside the main area.
    EXPECT_GE(agreementAt.y(), onArea.bottom() + 1 + 40 + 20);
    EXPECT_LE(agreementAt.y() + agreement->height() + 20, 436);
    auto* switchToggle = setup.find<ui::DragMenuToggle>("customInstallToggle");
    EXPECT_EQ(switchToggle->mapTo(area, QPoint(0, 0)).x() + switchToggle->width(), 680 - 20);

    // Ticking the agreement changes only its picture.
    click(agreement, QPoint(agreement->labelRect().x() + 8, agreement->labelRect().center().y()));
    EXPECT_TRUE(setup.controller().isConfirmProtocol());
    EXPECT_EQ(agreement->pictureName(), "checkedbox");
}

TEST(Screens, TheAgreementPromptAndItsThreeButtons) {
    SetupWindow setup;
    auto* prompt = setup.find<ui::AlertWindow>("agreementPrompt");
    ASSERT_NE(prompt, nullptr);
    EXPECT_FALSE(prompt->isVisible());
    for (QAbstractButton* answer :
         {prompt->closeButton(), prompt->cancelButton(), prompt->agreeButton()}) {
        click(setup.find<ui::BtnView>("installButton"));
        ASSERT_TRUE(prompt->isVisible());
        EXPECT_FALSE(setup.controller().isConfirmProtocol());
        click(answer);
        EXPECT_FALSE(prompt->isVisible());
    }
    EXPECT_EQ(prompt->size(), QSize(440, 196));
    EXPECT_EQ(prompt->geometry().center(), setup.find<QWidget>("mainArea")->rect().center());
    EXPECT_EQ(prompt->closeButton()->size(), QSize(28, 28));
    EXPECT_EQ(prompt->agreeButton()->size(), QSize(186, 36));
    EXPECT_TRUE(setup.controller().isConfirmProtocol());
    EXPECT_EQ(setup.find<ui::CheckBoxToggle>("agreementToggle")->pictureName(), "checkedbox");
    EXPECT_EQ(setup.fakes.reporter->reasons(), (Ints{100, 9, 11, 9, 12, 9, 10}));
}

TEST(Screens, PressesOnTheButtonBelowAnOpenPromptReportNothingMore) {
    SetupWindow setup;
    auto* install = setup.find<ui::BtnView>("installButton");
    auto* prompt = setup.find<ui::AlertWindow>("agreementPrompt");
    auto* area = setup.find<QWidget>("mainArea");
    click(install);
    ASSERT_TRUE(prompt->isVisible());
    // The strip of the button that the prompt leaves uncovered.
    const QRect button(install->mapTo(area, QPoint(0, 0)), install->size());
    ASSERT_GT(button.bottom(), prompt->geometry().bottom());
    const QPoint onStrip(button.center().x(), (prompt->geometry().bottom() + button.bottom()) / 2);
    ASSERT_EQ(area->childAt(onStrip), install);
    const QPoint local = install->mapFrom(area, onStrip);
    for (int i = 0; i < 2; ++i) {
        QTest::mousePress(install, Qt::LeftButton, Qt::NoModifier, local);
        QTest::mouseMove(install, local + QPoint(3, 0));  // a held press that moves
        QTest::mouseRelease(install, Qt::LeftButton, Qt::NoModifier, local + QPoint(3, 0));
        settle();
    }
    EXPECT_EQ(setup.fakes.reporter->reasons(), (Ints{100, 9}));
    click(prompt->closeButton());
    click(install, local);
    EXPECT_EQ(setup.fakes.reporter->reasons(), (Ints{100, 9, 11, 9}));
}

TEST(Screens, ThePromptsLinksOpenTheAgreementPages) {
    LinkCatcher links;
    SetupWindow setup;
    click(setup.find<ui::BtnView>("installButton"));
    auto* message = setup.find<ui::AlertWindow>("agreementPrompt")->messageLabel();
    click(message, message->linkRect(ui::privacyNoticeUrl()).center());
    click(message, message->linkRect(ui::userAgreementUrl()).center());
    click(message, QPoint(5, 5));  // plain text
    EXPECT_EQ(links.opened(), (QList<QUrl>{ui::privacyNoticeUrl(), ui::userAgreementUrl()}));
}

TEST(Screens, TheRunningAlertAndItsOneButton) {
    SetupWindow setup;
    auto* alert = setup.showRunningAlert();
    EXPECT_TRUE(setup.controller().isUsingNow());
    ASSERT_NE(alert, nullptr);
    EXPECT_TRUE(alert->isVisible());
    EXPECT_TRUE(alert->isModal() || alert->windowModality() != Qt::NonModal);
    EXPECT_TRUE(alert->okButton()->isDefault());
    EXPECT_EQ(visibleButtons(alert), QStringList{"好的"});

    click(alert->okButton());
    EXPECT_FALSE(setup.controller().isUsingNow());
    EXPECT_FALSE(alert->isVisible());
    EXPECT_EQ(setup.fakes.reporter->reasons(), Ints{100}) << "the running alert reports nothing";
}

TEST(Screens, TheProgressScreenFromTheFirstMegabyteToTheInstallLine) {
    SetupWindow setup;
    setup.startDownload();
    ASSERT_EQ(setup.controller().installerStatus(), Status::Downloading);
    EXPECT_EQ(setup.window().size(), QSize(680, 436));
    auto* view = setup.find<ui::DownloadingView>("downloadingView");
    ASSERT_TRUE(view->isVisible());
    EXPECT_EQ(view->size(), QSize(360, 30));
    EXPECT_EQ(view->bar()->size(), QSize(360, 6));
    const QTimer& timer = setup.delegate().mainContentView()->progressTimer();

    struct Step {
        int64_t written, expected;
        double secondsLeft;
        const char *downloaded, *size, *timeLeft, *percentage;
        double target;
    } const steps[] = {
        {0, 0, 0, "0MB", " / 0MB ", "下载剩余0秒", "0%", 0},  // before the first estimate
        {75, 150, 125.7, "75MB", " / 150MB ", "下载剩余2分5秒", "50%", 144},
        {999, 1000, 59, "999MB", " / 1000MB ", "下载剩余59秒", "99%", 0.999 * 288},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.written);
        if (s.written > 0) {
            setup.fakes.downloads->progress(s.written, s.expected, s.secondsLeft);
            settle();
        }
        EXPECT_EQ(view->downloadedLabel()->text(), s.downloaded);
        EXPECT_EQ(view->packageSizeLabel()->text(), s.size);
        EXPECT_EQ(view->timeLeftLabel()->text(), s.timeLeft);
        EXPECT_EQ(view->percentageLabel()->text(), s.percentage);
        EXPECT_DOUBLE_EQ(view->bar()->targetWidth(), s.target);
        EXPECT_LE(view->downloadedLabel()->sizeHint().width(), view->downloadedLabel()->width())
            << "a long count is not cut";
        EXPECT_FALSE(view->installLine()->isVisible());
        EXPECT_FALSE(timer.isActive());
    }
    EXPECT_EQ(view->downloadedLabel()->font().pixelSize(), 12);
    // The fill moves over half a second rather than jumping.
    EXPECT_LT(view->bar()->currentWidth(), 0.999 * 288);
    EXPECT_TRUE(waitFor([&] { return view->bar()->currentWidth() == 0.999 * 288; }, 3000));

    setup.fakes.downloads->progress(1000, 1000, 0);
    settle();
    EXPECT_DOUBLE_EQ(view->bar()->targetWidth(), 288.0);
    EXPECT_TRUE(view->installLine()->isVisible());
    EXPECT_EQ(view->installLine()->text(), "安装中（预计在10秒内完成）");
    EXPECT_FALSE(view->progressLine()->isVisible());
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.interval(), 1000);

    // The install phase runs the bar on to the end of the track, never past it.
    for (int tick = 0; tick < 9; ++tick) {
        setup.controller().progressTick();
    }
    settle();
    EXPECT_DOUBLE_EQ(view->bar()->targetWidth(), 360.0);
}

TEST(Screens, TheDownloadFailedScreenAndItsRetry) {
    LinkCatcher links;
    SetupWindow setup;
    setup.startDownload();
    setup.fakes.downloads->progress(40, 100, 30);
    settle();
    setup.fakes.downloads->fail();
    setup.fakes.downloads->join();
    ASSERT_TRUE(
        waitFor([&] { return setup.controller().installerStatus() == Status::Download_failed; }));
    settle();
    auto* view = setup.find<ui::DownloadFailedView>("downloadFailedView");
    ASSERT_TRUE(view->isVisible());
    EXPECT_EQ(view->size(), QSize(360, 30));
    EXPECT_DOUBLE_EQ(view->bar()->currentWidth(), 0.4 * 360) << "the value out of 1.0";
    EXPECT_EQ(visibleButtons(view), QStringList{"重试"});
    EXPECT_EQ(view->retryButton()->font().pixelSize(), 12);

    click(view->feedbackLink(), view->feedbackLink()->linkRect(ui::feedbackUrl()).center());
    EXPECT_EQ(links.opened(), QList<QUrl>{ui::feedbackUrl()});

    click(view->retryButton());
    EXPECT_EQ(setup.controller().installerStatus(), Status::Downloading);
    EXPECT_EQ(setup.fakes.downloads->attempts(), 2u);
    auto* downloading = setup.find<ui::DownloadingView>("downloadingView");
    EXPECT_TRUE(downloading->isVisible());
    EXPECT_EQ(downloading->percentageLabel()->text(), "0%");
}

TEST(Screens, TheInstallFailedScreenInstallsTheSameFileAgain) {
    SetupWindow setup;
    setup.fakes.installer->result = false;
    setup.startDownload();
    setup.fakes.downloads->progress(10, 10, 1);
    setup.fakes.downloads->succeed("/tmp/package.dmg");
    setup.fakes.downloads->join();
    ASSERT_TRUE(waitFor([&] { return !setup.controller().isInstallRunning(); }));
    for (int tick = 0; tick < 10; ++tick) {
        setup.controller().progressTick();
    }
    settle();
    ASSERT_EQ(setup.controller().installerStatus(), Status::Install_failed);
    auto* view = setup.find<ui::InstallFailedView>("installFailedView");
    ASSERT_TRUE(view->isVisible());
    // The keyboard goes on from "重新安装", a named button for assistive technologies.
    EXPECT_EQ(setup.window().focusWidget(), view->reinstallButton());
    EXPECT_EQ(QAccessible::queryAccessibleInterface(view->reinstallButton())->role(),
              QAccessible::Button);
    EXPECT_EQ(view->size(), QSize(360, 30));
    EXPECT_EQ(visibleButtons(view), QStringList{"重新安装"});
    EXPECT_EQ(view->findChild<QLabel*>("installFailedLabel")->font().pixelSize(), 16);

    click(view->reinstallButton());
    EXPECT_EQ(setup.fakes.installer->installedPaths(),
              (std::vector<std::string>{"/tmp/package.dmg", "/tmp/package.dmg"}));
    EXPECT_EQ(setup.fakes.downloads->attempts(), 1u) << "no new download";
    EXPECT_EQ(setup.controller().installerStatus(), Status::Installing);
    EXPECT_TRUE(setup.find<ui::DownloadingView>("downloadingView")->installLine()->isVisible());
}

}  // namespace
}  // namespace corvane::gui_test
