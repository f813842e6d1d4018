#include "ui/introducing_view.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ui/btn_view.h"
#include "ui/check_box_toggle.h"
#include "ui/drag_menu_toggle.h"
#include "ui/link_target.h"
#include "ui/running_alert.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr int kButtonWidth = 200;
constexpr int kButtonHeight = 60;
constexpr int kBelowButton = 40;
constexpr int kRowMargin = 20;

}  // namespace

IntroducingView::IntroducingView(ContentView& controller, QWidget* parent)
    : QWidget(parent), mController(controller) {
    setObjectName(QStringLiteral("introducingView"));

    mInstallButton = new BtnView(
        QStringLiteral("download-btn"), QStringLiteral("开始安装"), accentBlue(), kButtonWidth,
        kButtonHeight, [this] { mController.installButtonPressed(); }, this);
    mInstallButton->setObjectName(QStringLiteral("installButton"));
    mInstallButton->setAccessibleName(QStringLiteral("开始安装"));

    mAgreement = new CheckBoxToggle(
        {
            TextRun{QStringLiteral("阅读并同意Corvane"), std::nullopt, QUrl()},
            TextRun{QStringLiteral("《用户协议》"), accentBlue(), userAgreementUrl()},
            TextRun{QStringLiteral("和"), std::nullopt, QUrl()},
            TextRun{QStringLiteral("《隐私说明》"), accentBlue(), privacyNoticeUrl()},
        },
        this);
    mAgreement->setObjectName(QStringLiteral("agreementToggle"));
    connect(mAgreement, &QAbstractButton::clicked, this,
            [this](bool checked) { mController.setIsConfirmProtocol(checked); });

    mCustomInstall =
        new DragMenuToggle({TextRun{QStringLiteral("自定义安装"), std::nullopt, QUrl()}}, this);
    mCustomInstall->setObjectName(QStringLiteral("customInstallToggle"));
    connect(mCustomInstall, &QAbstractButton::clicked, this,
            [this](bool checked) { mController.setIsExpanded(checked); });

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(mInstallButton, 0, Qt::AlignHCenter);
    column->addSpacing(kBelowButton);

    auto* row = new QHBoxLayout();
    row->setContentsMargins(kRowMargin, kRowMargin, kRowMargin, kRowMargin);
    row->setSpacing(0);
    row->addWidget(mAgreement, 0, Qt::AlignVCenter);
    row->addStretch(1);
    row->addWidget(mCustomInstall, 0, Qt::AlignVCenter);
    column->addLayout(row);

    // Reading order: the button, the check box, its two links, the switch.
    QWidget* previous = mInstallButton;
    QList<QWidget*> order{mAgreement};
    for (QWidget* link : mAgreement->links()) {
        order << link;
    }
    order << mCustomInstall;
    for (QWidget* next : order) {
        setTabOrder(previous, next);
        previous = next;
    }
    refresh();
}

IntroducingView::~IntroducingView() {
    if (RunningAlert* alert = mRunningAlert.data()) {
        alert->deleteLater();
    }
}

RunningAlert* IntroducingView::runningAlert() const {
    return mRunningAlert.data();
}

void IntroducingView::refresh() {
    mController.armInstallButton();
    mAgreement->showValue(mController.isConfirmProtocol());
    mCustomInstall->setVisible(mController.isShowDragBtn());
    mCustomInstall->showValue(mController.isExpanded());
    showRunningAlert(mController.isUsingNow());
}

void IntroducingView::showRunningAlert(bool shown) {
    RunningAlert* alert = mRunningAlert.data();
    if (!shown) {
        if (alert && alert->isVisible()) {
            alert->hide();
        }
        return;
    }
    if (!alert) {
        alert = new RunningAlert(window());
        mRunningAlert = alert;
        connect(alert, &RunningAlert::dismissed, this,
                [this] { mController.setIsUsingNow(false); });
    }
    if (!alert->isVisible()) {
        alert->showOver(window());
    }
}

}  // namespace corvane::ui
