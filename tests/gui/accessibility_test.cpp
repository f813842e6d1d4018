// What a screen reader and a keyboard-only user get from the real window: roles, names, values
// and actions of the accessible objects, and the setup driven by keys sent to the focus.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QTest>
#include <QTimer>

#include "gui_support.h"
#include "ui/alert_window.h"
#include "ui/btn_view.h"
#include "ui/check_box_toggle.h"
#include "ui/download_failed_view.h"
#include "ui/downloading_view.h"
#include "ui/exit_alert_window.h"
#include "ui/introducing_view.h"
#include "ui/link_label.h"
#include "ui/link_target.h"
#include "ui/progress_bar_view.h"
#include "ui/running_alert.h"
#include "ui/text_button.h"
#include "ui/ui_style.h"

namespace corvane::gui_test {
namespace {

using Status = INSTALLER_STATUS;
using Ints = std::vector<int>;

QAccessibleInterface* a11y(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget);
}

// A key pressed and released on whatever has the keyboard focus, as a keyboard does it.
void key(Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr) << "no focus for the key";
    QTest::keyClick(focus, k, modifiers);
    settle();
}

struct Expected {
    QWidget* widget;
    QAccessible::Role role;
    QString name;
    QString action;  // empty: none expected
};

void expectAll(const std::vector<Expected>& objects) {
    for (const Expected& e : objects) {
        ASSERT_NE(e.widget, nullptr) << e.name.toStdString();
        SCOPED_TRACE(e.name.toStdString());
        QAccessibleInterface* object = a11y(e.widget);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->role(), e.role);
        EXPECT_EQ(object->text(QAccessible::Name), e.name);
        if (!e.action.isEmpty()) {
            ASSERT_NE(object->actionInterface(), nullptr);
            EXPECT_TRUE(object->actionInterface()->actionNames().contains(e.action));
        }
    }
}

TEST(Accessibility, EveryControlHasItsRoleNameAndAction) {
    SetupWindow setup;
    auto* agreement = setup.find<ui::CheckBoxToggle>("agreementToggle");
    auto* prompt = setup.find<ui::AlertWindow>("agreementPrompt");
    const QString press = QAccessibleActionInterface::pressAction();
    const QString toggle = QAccessibleActionInterface::toggleAction();
    ASSERT_EQ(agreement->links().size(), 2);
    ASSERT_EQ(prompt->messageLabel()->links().size(), 2);
    expectAll({
        {&setup.window(), QAccessible::Window, "Corvane安装程序", {}},
        {setup.find<QWidget>("installButton"), QAccessible::Button, "开始安装", press},
        {agreement, QAccessible::CheckBox, "阅读并同意Corvane《用户协议》和《隐私说明》", toggle},
        {agreement->links()[0], QAccessible::Link, "《用户协议》", press},
        {agreement->links()[1], QAccessible::Link, "《隐私说明》", press},
        {setup.find<QWidget>("customInstallToggle"), QAccessible::CheckBox, "自定义安装", toggle},
        {setup.find<QWidget>("setDefaultToggle"), QAccessible::CheckBox,
         "设置Corvane为默认PDF阅读器，并防止篡改", toggle},
        {prompt, QAccessible::Dialog, "提示", {}},
        {prompt->messageLabel(),
         QAccessible::StaticText,
         "依据相关政策要求，为了更好地体验Corvane服务，请阅读并同意《用户协议》和《隐私说明》",
         {}},
        {prompt->messageLabel()->links()[0], QAccessible::Link, "《用户协议》", press},
        {prompt->messageLabel()->links()[1], QAccessible::Link, "《隐私说明》", press},
        {prompt->closeButton(), QAccessible::Button, "关闭", press},
        {prompt->cancelButton(), QAccessible::Button, "取消", press},
        {prompt->agreeButton(), QAccessible::Button, "同意", press},
    });
    EXPECT_EQ(a11y(prompt)->text(QAccessible::Description),
              a11y(prompt->messageLabel())->text(QAccessible::Name));
    EXPECT_TRUE(a11y(prompt)->state().modal);
    EXPECT_TRUE(a11y(agreement->links()[0])->state().focusable);

    // A link's press opens its page; the check box stays as it was.
    LinkCatcher links;
    a11y(agreement->links()[1])->actionInterface()->doAction(press);
    settle();
    EXPECT_EQ(links.opened(), QList<QUrl>{ui::privacyNoticeUrl()});
    EXPECT_FALSE(setup.controller().isConfirmProtocol());
}

TEST(Accessibility, TheKeyboardAloneOpensTheLinksAnswersThePromptAndStartsTheInstall) {
    LinkCatcher links;
    SetupWindow setup;
    setup.window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&setup.window()));
    auto* install = setup.find<ui::BtnView>("installButton");
    auto* agreement = setup.find<ui::CheckBoxToggle>("agreementToggle");
    auto* prompt = setup.find<ui::AlertWindow>("agreementPrompt");
    EXPECT_TRUE(install->hasFocus()) << "the window opens with the focus on 开始安装";

    // Tab order of the introduction, and the rings that show it.
    for (QWidget* next :
         {static_cast<QWidget*>(agreement), static_cast<QWidget*>(agreement->links()[0]),
          static_cast<QWidget*>(agreement->links()[1]),
          setup.find<QWidget>("customInstallToggle")}) {
        key(Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << next->accessibleName().toStdString();
    }
    key(Qt::Key_Tab, Qt::ShiftModifier);
    key(Qt::Key_Return);
    key(Qt::Key_Tab, Qt::ShiftModifier);
    key(Qt::Key_Space);
    EXPECT_EQ(links.opened(), (QList<QUrl>{ui::privacyNoticeUrl(), ui::userAgreementUrl()}));

    // Without the agreement the prompt opens and takes the focus; Tab goes round inside it.
    install->setFocus(Qt::BacktabFocusReason);
    key(Qt::Key_Return);
    ASSERT_TRUE(prompt->isVisible());
    EXPECT_TRUE(prompt->agreeButton()->hasFocus());
    QList<QWidget*> visited;
    for (int i = 0; i < 5; ++i) {
        key(Qt::Key_Tab);
        visited << QApplication::focusWidget();
    }
    EXPECT_EQ(visited, (QList<QWidget*>{prompt->closeButton(), prompt->messageLabel()->links()[0],
                                        prompt->messageLabel()->links()[1], prompt->cancelButton(),
                                        prompt->agreeButton()}));
    key(Qt::Key_Escape);
    EXPECT_FALSE(prompt->isVisible());
    EXPECT_TRUE(install->hasFocus()) << "the focus returns";
    key(Qt::Key_Return);
    ASSERT_TRUE(prompt->isVisible());
    key(Qt::Key_Return);
    EXPECT_FALSE(prompt->isVisible());
    EXPECT_TRUE(setup.controller().isConfirmProtocol());
    EXPECT_TRUE(a11y(agreement)->state().checked);
    EXPECT_TRUE(install->hasFocus());
    EXPECT_EQ(setup.fakes.reporter->reasons(), (Ints{100, 9, 12, 9, 10}));
    key(Qt::Key_Return);
    EXPECT_EQ(setup.controller().installerStatus(), Status::Downloading);
}

TEST(Accessibility, TheBarSaysItsValueAndWhatIsLeftThenTheFailureTakesTheFocus) {
    SetupWindow setup;
    setup.window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&setup.window()));
    setup.startDownload();
    ui::ProgressBarView* bar = setup.find<ui::DownloadingView>("downloadingView")->bar();
    QAccessibleValueInterface* value = a11y(bar)->valueInterface();
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(a11y(bar)->role(), QAccessible::ProgressBar);
    EXPECT_EQ(value->minimumValue().toInt(), 0);
    EXPECT_EQ(value->maximumValue().toInt(), 100);
    struct Step {
        int64_t written, expected;
        double secondsLeft;
        int value;
        const char* name;
    } const steps[] = {
        {0, 0, 0, 0, "0MB / 0MB 下载剩余0秒"},
        {75, 150, 125.7, 50, "75MB / 150MB 下载剩余2分5秒"},
        {999, 1000, 59, 99, "999MB / 1000MB 下载剩余59秒"},
        {1000, 1000, 0, 100, "安装中（预计在10秒内完成）"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        if (s.written > 0) {
            setup.fakes.downloads->progress(s.written, s.expected, s.secondsLeft);
            settle();
        }
        EXPECT_EQ(value->currentValue().toInt(), s.value);
        EXPECT_EQ(a11y(bar)->text(QAccessible::Name), s.name);
    }

    // A failed download: its screen takes the focus on "重试", which Return presses.
    SetupWindow failing;
    failing.window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&failing.window()));
    failing.startDownload();
    failing.fakes.downloads->progress(40, 100, 30);
    settle();
    failing.fakes.downloads->fail();
    failing.fakes.downloads->join();
    ASSERT_TRUE(
        waitFor([&] { return failing.controller().installerStatus() == Status::Download_failed; }));
    settle();
    auto* view = failing.find<ui::DownloadFailedView>("downloadFailedView");
    EXPECT_TRUE(view->retryButton()->hasFocus());
    expectAll({
        {view->bar(), QAccessible::ProgressBar, "40MB / 100MB", {}},
        {view->retryButton(), QAccessible::Button, "重试",
         QAccessibleActionInterface::pressAction()},
        {view->feedbackLink()->links().value(0), QAccessible::Link, "反馈",
         QAccessibleActionInterface::pressAction()},
    });
    EXPECT_EQ(a11y(view->bar())->valueInterface()->currentValue().toInt(), 40);
    key(Qt::Key_Return);
    EXPECT_EQ(failing.controller().installerStatus(), Status::Downloading);
}

TEST(Accessibility, TheAlertsAreReadAndAnsweredWithReturnAndEscape) {
    // The exit panel: its picture read as text, the focus and Return on the painted primary
    // "取消", Escape as well; either way the download goes on.
    for (const Qt::Key answer : {Qt::Key_Return, Qt::Key_Escape}) {
        SetupWindow setup;
        setup.startDownload();
        bool checked = false;
        QTimer::singleShot(0, [&] {
            ui::ExitAlertPanel* panel = setup.delegate().confirmCloseAlert();
            ASSERT_NE(panel, nullptr);
            ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
            expectAll({
                {panel, QAccessible::AlertMessage, "确定要退出安装吗？", {}},
                {panel->view(),
                 QAccessible::StaticText,
                 "确定要退出安装吗？下载尚未完成，退出后需要重新开始下载。",
                 {}},
                {panel->confirmButton(), QAccessible::Button, "确认",
                 QAccessibleActionInterface::pressAction()},
                {panel->cancelButton(), QAccessible::Button, "取消",
                 QAccessibleActionInterface::pressAction()},
            });
            EXPECT_EQ(a11y(panel)->text(QAccessible::Description),
                      "下载尚未完成，退出后需要重新开始下载。");
            EXPECT_TRUE(panel->cancelButton()->hasFocus());
            checked = true;
            key(answer);
        });
        EXPECT_FALSE(setup.window().close());
        settle();
        EXPECT_TRUE(checked);
        EXPECT_FALSE(setup.delegate().confirmCloseAlert()->isVisible()) << answer;
        EXPECT_EQ(setup.terminations(), 0) << answer;
        EXPECT_EQ(setup.controller().installerStatus(), Status::Downloading);
    }

    // The running alert: read by its title, answered by Return or Escape on "好的".
    for (const Qt::Key answer : {Qt::Key_Return, Qt::Key_Escape}) {
        SetupWindow setup;
        ui::RunningAlert* alert = setup.showRunningAlert();
        ASSERT_NE(alert, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowActive(alert));
        expectAll(
            {{alert, QAccessible::AlertMessage, "Corvane正在运行，\n请先关闭应用后再安装软件", {}},
             {alert->okButton(), QAccessible::Button, "好的",
              QAccessibleActionInterface::pressAction()}});
        EXPECT_TRUE(alert->okButton()->hasFocus());
        key(answer);
        EXPECT_FALSE(alert->isVisible()) << answer;
        EXPECT_FALSE(setup.controller().isUsingNow());
    }
}

}  // namespace
}  // namespace corvane::gui_test
