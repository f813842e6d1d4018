// The wizard's screens, driven through the real window with fake services behind the
// controller.
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

using R = ENUMInstallResult;

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

TEST(Screens, AFreshSetupShowsTheDrawerWithTheDefaultReaderBoxTicked) {
    SetupWindow setup;
    EXPECT_EQ(setup.window().size(), QSize(680, 492));
    auto* drawer = setup.find<ui::DragMenuView>("dragMenuView");
    ASSERT_NE(drawer, nullptr);
    EXPECT_TRUE(drawer->isVisible());
    EXPECT_EQ(drawer->geometry(), QRect(0, 436, 680, 56));

    auto* switchToggle = setup.find<ui::DragMenuToggle>("customInstallToggle");
    ASSERT_NE(switchToggle, nullptr);
    EXPECT_TRUE(switchToggle->isVisible());
    EXPECT_EQ(switchToggle->pictureName(), "dragUp");

    auto* setDefault = setup.find<ui::CheckBoxToggle>("setDefaultToggle");
    EXPECT_TRUE(setDefault->isVisible());
    EXPECT_EQ(setDefault->pictureName(), "checkedbox");
    EXPECT_EQ(setDefault->labelText(), "设置Corvane为默认PDF阅读器，并防止篡改");
    // The second box keeps its place (its column is half the drawer) but is neither drawn nor
    // clickable.
    auto* permit = setup.find<ui::CheckBoxToggle>("permitServiceToggle");
    EXPECT_FALSE(permit->isVisible());
    EXPECT_EQ(permit->parentWidget()->geometry().x(), 340);
    EXPECT_EQ(setDefault->parentWidget()->width(), 340);
    EXPECT_EQ(setDefault->mapTo(drawer, QPoint(0, 0)), QPoint(20, 11 + 10));

    EXPECT_EQ(setup.fakes.reporter->results(), std::vector<R>{R::Setup_started});
    EXPECT_FALSE(setup.fakes.reporter->data().bCoverInstall);
}

TEST(Screens, AnOverwriteSetupShowsOnlyTheMainArea) {
    SetupWindow setup({.applicationExists = true});
    EXPECT_EQ(setup.window().size(), QSize(680, 436));
    EXPECT_FALSE(setup.find<ui::DragMenuView>("dragMenuView")->isVisible());
    EXPECT_FALSE(setup.find<ui::DragMenuToggle>("customInstallToggle")->isVisible());
    EXPECT_TRUE(setup.find<ui::BtnView>("installButton")->isVisible());
    EXPECT_TRUE(setup.fakes.reporter->data().bCoverInstall);
}

TEST(Screens, TheCustomInstallSwitchOpensAndClosesTheDrawerAndSizesTheWindow) {
    SetupWindow setup;
    auto* switchToggle = setup.find<ui::DragMenuToggle>("customInstallToggle");
    click(switchToggle, switchToggle->labelRect().center());
    EXPECT_FALSE(setup.controller().isExpanded());
    EXPECT_EQ(setup.window().size(), QSize(680, 436));
    EXPECT_FALSE(setup.find<ui::DragMenuView>("dragMenuView")->isVisible());
    EXPECT_EQ(switchToggle->pictureName(), "dragDown");

    click(switchToggle, switchToggle->pictureRect().center());
    EXPECT_TRUE(setup.controller().isExpanded());
    EXPECT_EQ(setup.window().size(), QSize(680, 492));
    EXPECT_TRUE(setup.find<ui::DragMenuView>("dragMenuView")->isVisible());
    EXPECT_EQ(switchToggle->pictureName(), "dragUp");
}

TEST(Screens, TheIntroductionHasItsButtonAndAgreementWhereTheyBelong) {
    SetupWindow setup;
    auto* button = setup.find<ui::BtnView>("installButton");
    auto* area = setup.find<QWidget>("mainArea");
    EXPECT_EQ(button->size(), QSize(200, 60));
    EXPECT_EQ(button->text(), "开始安装");
    EXPECT_EQ(button->textColor(), ui::accentBlue());
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
}

TEST(Screens, TickingTheAgreementChangesOnlyItsPicture) {
    SetupWindow setup;
    auto* agreement = setup.find<ui::CheckBoxToggle>("agreementToggle");
    EXPECT_EQ(agreement->pictureName(), "uncheckbox");
    click(agreement, QPoint(agreement->labelRect().x() + 8, agreement->labelRect().center().y()));
    EXPECT_TRUE(setup.controller().isConfirmProtocol());
    EXPECT_EQ(agreement->pictureName(), "checkedbox");
    EXPECT_TRUE(setup.find<ui::BtnView>("installButton")->isVisible());
    EXPECT_EQ(setup.fakes.downloader->started(), 0);
}

TEST(Screens, TheAgreementPromptAndItsThreeButtons) {
    SetupWindow setup;
    auto* install = setup.find<ui::BtnView>("installButton");
    auto* prompt = setup.find<ui::AlertWindow>("agreementPrompt");
    ASSERT_NE(prompt, nullptr);
    EXPECT_FALSE(prompt->isVisible());

    auto openPrompt = [&] {
        click(install);
        ASSERT_TRUE(prompt->isVisible());
    };
    openPrompt();
    EXPECT_EQ(prompt->size(), QSize(440, 196));
    EXPECT_EQ(prompt->geometry().center(), setup.find<QWidget>("mainArea")->rect().center());
    EXPECT_EQ(prompt->titleLabel()->text(), "提示");
    EXPECT_EQ(
        prompt->messageLabel()->plainText(),
        "依据相关政策要求，为了更好地体验Corvane服务，请阅读并同意《用户协议》和《隐私说明》");
    EXPECT_EQ(prompt->closeButton()->size(), QSize(28, 28));
    EXPECT_EQ(prompt->cancelButton()->size(), QSize(186, 36));
    EXPECT_EQ(prompt->agreeButton()->size(), QSize(186, 36));

    click(prompt->closeButton());
    EXPECT_FALSE(prompt->isVisible());
    openPrompt();
    click(prompt->cancelButton());
    EXPECT_FALSE(prompt->isVisible());
    EXPECT_FALSE(setup.controller().isConfirmProtocol());
    openPrompt();
    click(prompt->agreeButton());
    EXPECT_FALSE(prompt->isVisible());
    EXPECT_TRUE(setup.controller().isConfirmProtocol());
    EXPECT_EQ(setup.find<ui::CheckBoxToggle>("agreementToggle")->pictureName(), "checkedbox");
    EXPECT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Prepare_to_download);
    EXPECT_EQ(setup.fakes.downloader->started(), 0) << "agreeing does not start the download";

    EXPECT_EQ(setup.fakes.reporter->results(),
              (std::vector<R>{R::Setup_started, R::Agreement_missing, R::Agreement_closed,
                              R::Agreement_missing, R::Agreement_cancelled, R::Agreement_missing,
                              R::Agreement_accepted}));
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
    EXPECT_EQ(setup.fakes.reporter->results(),
              (std::vector<R>{R::Setup_started, R::Agreement_missing}));
    click(prompt->closeButton());
    click(install, local);
    EXPECT_EQ(setup.fakes.reporter->results(),
              (std::vector<R>{R::Setup_started, R::Agreement_missing, R::Agreement_closed,
                              R::Agreement_missing}));
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
    setup.fakes.installer->usingNow = true;
    setup.startDownload();
    EXPECT_TRUE(setup.controller().isUsingNow());
    auto* alert = setup.find<ui::IntroducingView>("introducingView")->runningAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_TRUE(alert->isVisible());
    EXPECT_TRUE(alert->isModal() || alert->windowModality() != Qt::NonModal);
    EXPECT_EQ(alert->titleLabel()->text(), "Corvane正在运行，\n请先关闭应用后再安装软件");
    EXPECT_EQ(alert->okButton()->text(), "好的");
    EXPECT_TRUE(alert->okButton()->isDefault());
    EXPECT_EQ(visibleButtons(alert), QStringList{"好的"});

    click(alert->okButton());
    EXPECT_FALSE(setup.controller().isUsingNow());
    EXPECT_FALSE(alert->isVisible());
    EXPECT_EQ(setup.fakes.downloader->started(), 0);
    EXPECT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Prepare_to_download);
    EXPECT_EQ(setup.fakes.reporter->results(), std::vector<R>{R::Setup_started})
        << "the running alert reports nothing";
}

TEST(Screens, TheProgressScreenFromTheFirstMegabyteToTheInstallLine) {
    SetupWindow setup;
    setup.startDownload();
    ASSERT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Downloading);
    EXPECT_EQ(setup.window().size(), QSize(680, 436));
    auto* view = setup.find<ui::DownloadingView>("downloadingView");
    ASSERT_TRUE(view->isVisible());
    EXPECT_EQ(view->size(), QSize(360, 30));
    EXPECT_EQ(view->bar()->size(), QSize(360, 6));

    // Before the first estimate.
    EXPECT_EQ(view->downloadedLabel()->text(), "0MB");
    EXPECT_EQ(view->packageSizeLabel()->text(), " / 0MB ");
    EXPECT_EQ(view->timeLeftLabel()->text(), "下载剩余0秒");
    EXPECT_EQ(view->percentageLabel()->text(), "0%");
    EXPECT_GE(view->downloadedLabel()->width(), 35);
    EXPECT_EQ(view->downloadedLabel()->font().pixelSize(), 12);

    setup.fakes.downloader->progress(75, 150, 125.7);
    settle();
    EXPECT_DOUBLE_EQ(view->bar()->targetWidth(), 144.0);
    EXPECT_EQ(view->downloadedLabel()->text(), "75MB");
    EXPECT_EQ(view->packageSizeLabel()->text(), " / 150MB ");
    EXPECT_EQ(view->timeLeftLabel()->text(), "下载剩余2分5秒");
    EXPECT_EQ(view->percentageLabel()->text(), "50%");
    // The fill moves there over half a second rather than jumping.
    EXPECT_LT(view->bar()->currentWidth(), 144.0);
    EXPECT_TRUE(waitFor([&] { return view->bar()->currentWidth() == 144.0; }, 3000));

    setup.fakes.downloader->progress(999, 1000, 59);
    settle();
    EXPECT_EQ(view->percentageLabel()->text(), "99%");
    EXPECT_EQ(view->timeLeftLabel()->text(), "下载剩余59秒");
    EXPECT_EQ(view->downloadedLabel()->text(), "999MB");
    EXPECT_LE(view->downloadedLabel()->sizeHint().width(), view->downloadedLabel()->width())
        << "a long count is not cut";
    EXPECT_FALSE(view->installLine()->isVisible());
    EXPECT_FALSE(setup.delegate().mainContentView()->progressTimer().isActive());

    setup.fakes.downloader->progress(1000, 1000, 0);
    settle();
    EXPECT_DOUBLE_EQ(view->bar()->targetWidth(), 288.0);
    EXPECT_TRUE(view->installLine()->isVisible());
    EXPECT_EQ(view->installLine()->text(), "安装中（预计在10秒内完成）");
    EXPECT_FALSE(view->progressLine()->isVisible());
    EXPECT_TRUE(setup.delegate().mainContentView()->progressTimer().isActive());
    EXPECT_EQ(setup.delegate().mainContentView()->progressTimer().interval(), 1000);

    // The install phase runs the bar on to the end of the track, never past it.
    for (int tick = 0; tick < 9; ++tick) {
        setup.controller().progressTick();
    }
    settle();
    EXPECT_NEAR(setup.controller().progress(), 1.27, 1e-9);
    EXPECT_DOUBLE_EQ(view->bar()->targetWidth(), 360.0);
}

TEST(ProgressBar, WidthsAlongTheTrack) {
    ui::ProgressBarView bar(ui::ProgressBarView::Kind::Setup);
    for (const auto& [progress, width] : std::vector<std::pair<double, double>>{
             {0.5, 144.0}, {1.0, 288.0}, {1.25, 360.0}, {1.27, 360.0}, {0.0, 0.0}}) {
        bar.setProgress(progress);
        bar.finishAnimation();
        EXPECT_DOUBLE_EQ(bar.currentWidth(), width) << progress;
    }
    ui::ProgressBarView platform(ui::ProgressBarView::Kind::Platform);
    platform.setProgress(0.5);
    EXPECT_DOUBLE_EQ(platform.currentWidth(), 180.0) << "the platform bar: value out of 1.0";
}

TEST(Screens, TheDownloadFailedScreenAndItsRetry) {
    LinkCatcher links;
    SetupWindow setup;
    setup.startDownload();
    setup.fakes.downloader->progress(40, 100, 30);
    settle();
    setup.fakes.downloader->fail();
    setup.fakes.downloader->join();
    ASSERT_TRUE(waitFor(
        [&] { return setup.controller().installerStatus() == INSTALLER_STATUS::Download_failed; }));
    settle();
    auto* view = setup.find<ui::DownloadFailedView>("downloadFailedView");
    ASSERT_TRUE(view->isVisible());
    EXPECT_EQ(view->size(), QSize(360, 30));
    EXPECT_DOUBLE_EQ(view->bar()->currentWidth(), 0.4 * 360) << "where the download stopped";
    EXPECT_EQ(visibleButtons(view), QStringList{"重试"});
    EXPECT_EQ(view->retryButton()->font().pixelSize(), 12);
    EXPECT_EQ(view->findChild<QLabel*>("downloadFailedLabel")->text(),
              "下载失败，请检查网络环境后");
    EXPECT_EQ(view->feedbackLink()->plainText(), "反馈");

    click(view->feedbackLink(), view->feedbackLink()->linkRect(ui::feedbackUrl()).center());
    EXPECT_EQ(links.opened(), QList<QUrl>{ui::feedbackUrl()});

    click(view->retryButton());
    EXPECT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Downloading);
    EXPECT_EQ(setup.fakes.downloader->started(), 2);
    auto* downloading = setup.find<ui::DownloadingView>("downloadingView");
    EXPECT_TRUE(downloading->isVisible());
    EXPECT_EQ(downloading->percentageLabel()->text(), "0%");
    EXPECT_EQ(downloading->timeLeftLabel()->text(), "下载剩余0秒");
}

TEST(Screens, TheInstallFailedScreenInstallsTheSameFileAgain) {
    SetupWindow setup;
    setup.fakes.installer->installResult = false;
    setup.startDownload();
    setup.fakes.downloader->progress(10, 10, 1);
    setup.fakes.downloader->succeed("/tmp/package.dmg");
    setup.fakes.downloader->join();
    ASSERT_TRUE(waitFor([&] { return setup.fakes.installer->installs() == 1; }));
    ASSERT_TRUE(waitFor([&] { return !setup.controller().isInstallRunning(); }));
    settle();
    for (int tick = 0;
         tick < 10 && setup.controller().installerStatus() != INSTALLER_STATUS::Install_failed;
         ++tick) {
        setup.controller().progressTick();
    }
    settle();
    ASSERT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Install_failed);
    auto* view = setup.find<ui::InstallFailedView>("installFailedView");
    ASSERT_TRUE(view->isVisible());
    EXPECT_EQ(view->size(), QSize(360, 30));
    EXPECT_EQ(visibleButtons(view), QStringList{"重新安装"});
    EXPECT_EQ(view->reinstallButton()->font().pixelSize(), 16);
    EXPECT_EQ(view->findChild<QLabel*>("installFailedLabel")->text(), "安装失败，请点此");
    EXPECT_EQ(view->findChild<QLabel*>("installFailedLabel")->font().pixelSize(), 16);

    click(view->reinstallButton());
    EXPECT_EQ(setup.fakes.installer->installs(), 2);
    EXPECT_EQ(setup.fakes.installer->installedPaths(),
              (std::vector<std::string>{"/tmp/package.dmg", "/tmp/package.dmg"}));
    EXPECT_EQ(setup.fakes.downloader->started(), 1) << "no new download";
    EXPECT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Installing);
    EXPECT_TRUE(setup.find<ui::DownloadingView>("downloadingView")->installLine()->isVisible());
}

TEST(Screens, EveryControlIsNamedForAssistiveTechnologies) {
    SetupWindow setup;
    auto name = [](QWidget* widget) {
        QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(widget);
        return a11y ? a11y->text(QAccessible::Name) : QString();
    };
    EXPECT_EQ(name(setup.find<QWidget>("installButton")), "开始安装");
    EXPECT_EQ(name(setup.find<QWidget>("agreementToggle")),
              "阅读并同意Corvane《用户协议》和《隐私说明》");
    EXPECT_EQ(name(setup.find<QWidget>("customInstallToggle")), "自定义安装");
    EXPECT_EQ(name(setup.find<QWidget>("setDefaultToggle")),
              "设置Corvane为默认PDF阅读器，并防止篡改");
    EXPECT_EQ(name(setup.find<QWidget>("promptCloseButton")), "关闭");
    EXPECT_EQ(name(setup.find<QWidget>("promptCancelButton")), "取消");
    EXPECT_EQ(name(setup.find<QWidget>("promptAgreeButton")), "同意");
}

TEST(Screens, TheKeyboardReachesTheControlsInOrder) {
    SetupWindow setup;
    setup.window().activateWindow();
    auto* install = setup.find<QWidget>("installButton");
    auto* agreement = setup.find<QWidget>("agreementToggle");
    auto* customInstall = setup.find<QWidget>("customInstallToggle");
    EXPECT_EQ(install->nextInFocusChain(), agreement);
    install->setFocus(Qt::TabFocusReason);
    QTest::keyClick(install, Qt::Key_Tab);
    EXPECT_TRUE(agreement->hasFocus());
    QTest::keyClick(agreement, Qt::Key_Space);
    EXPECT_TRUE(setup.controller().isConfirmProtocol());
    QTest::keyClick(agreement, Qt::Key_Tab);
    EXPECT_TRUE(customInstall->hasFocus());
    install->setFocus(Qt::TabFocusReason);
    QTest::keyClick(install, Qt::Key_Return);
    settle();
    EXPECT_EQ(setup.controller().installerStatus(), INSTALLER_STATUS::Downloading);
}

}  // namespace
}  // namespace corvane::gui_test
