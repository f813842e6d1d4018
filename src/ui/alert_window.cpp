#include "ui/alert_window.h"

#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QShowEvent>

#include "ui/accessibility.h"
#include "ui/btn_view.h"
#include "ui/link_label.h"
#include "ui/link_target.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr qreal kRadius = 10.0;
constexpr int kLeft = 30;
constexpr int kRight = 20;
constexpr int kTitleSize = 18;
constexpr int kTitleHeight = 24;
constexpr int kBelowTitle = 25;
constexpr int kMessageSize = 16;
constexpr int kBelowMessage = 15;
constexpr int kButtonWidth = 186;
constexpr int kButtonHeight = 36;
constexpr int kButtonGap = 8;
constexpr int kCloseSize = 28;
constexpr int kCloseInset = 8;

}  // namespace

AlertWindow::AlertWindow(ContentView& controller, QWidget* parent)
    : QWidget(parent), mController(controller) {
    installAccessibility();
    setObjectName(QStringLiteral("agreementPrompt"));
    setFixedSize(kWidth, kHeight);
    setAccessibleName(QStringLiteral("提示"));

    mTitle = new QLabel(QStringLiteral("提示"), this);
    mTitle->setObjectName(QStringLiteral("promptTitle"));
    mTitle->setFont(uiFont(kTitleSize));
    QPalette palette = mTitle->palette();
    palette.setColor(QPalette::WindowText, promptGrey());
    mTitle->setPalette(palette);

    mMessage = new LinkLabel(
        {
            TextRun{QStringLiteral("依据相关政策要求，为了更好地体验Corvane服务，请"), std::nullopt,
                    QUrl()},
            TextRun{QStringLiteral("阅读并同意"), std::nullopt, QUrl()},
            TextRun{QStringLiteral("《用户协议》"), accentBlue(), userAgreementUrl()},
            TextRun{QStringLiteral("和"), std::nullopt, QUrl()},
            TextRun{QStringLiteral("《隐私说明》"), accentBlue(), privacyNoticeUrl()},
        },
        uiFont(kMessageSize), promptGrey(), kWidth - kLeft - kRight, this);
    mMessage->setObjectName(QStringLiteral("promptMessage"));
    setAccessibleDescription(mMessage->plainText());

    const QColor white(Qt::white);
    mClose = new BtnView(
        QStringLiteral("close-btn"), QString(), white, kCloseSize, kCloseSize,
        [this] { mController.closeButtonPressed(); }, this);
    mClose->setObjectName(QStringLiteral("promptCloseButton"));
    mClose->setAccessibleName(QStringLiteral("关闭"));
    mCancel = new BtnView(
        QStringLiteral("cancel-btn"), QString(), white, kButtonWidth, kButtonHeight,
        [this] { mController.cancelButtonPressed(); }, this);
    mCancel->setObjectName(QStringLiteral("promptCancelButton"));
    mCancel->setAccessibleName(QStringLiteral("取消"));
    mAgree = new BtnView(
        QStringLiteral("agree-btn"), QString(), white, kButtonWidth, kButtonHeight,
        [this] { mController.agreeButtonPressed(); }, this);
    mAgree->setObjectName(QStringLiteral("promptAgreeButton"));
    mAgree->setAccessibleName(QStringLiteral("同意"));

    // The column (title, message, buttons) is centred in the prompt's height; the close button
    // sits in the top right corner, above the title's line.
    const int messageHeight = mMessage->height();
    const int column = kTitleHeight + kBelowTitle + messageHeight + kBelowMessage + kButtonHeight;
    const int top = (kHeight - column) / 2;
    mTitle->setGeometry(kLeft, top, kWidth - kLeft - kRight - kCloseSize, kTitleHeight);
    mTitle->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const int messageTop = top + kTitleHeight + kBelowTitle;
    mMessage->move(kLeft, messageTop);
    const int buttonsTop = messageTop + messageHeight + kBelowMessage;
    const int buttonsLeft = (kWidth - (2 * kButtonWidth + kButtonGap)) / 2;
    mCancel->move(buttonsLeft, buttonsTop);
    mAgree->move(buttonsLeft + kButtonWidth + kButtonGap, buttonsTop);
    mClose->move(kWidth - kCloseInset - kCloseSize, kCloseInset);

    // Reading order: the links of the text, the two answers, then the close button.
    QWidget* previous = mMessage->links().isEmpty() ? nullptr : mMessage->links().back();
    for (QWidget* next : {static_cast<QWidget*>(mCancel), static_cast<QWidget*>(mAgree),
                          static_cast<QWidget*>(mClose)}) {
        if (previous) {
            setTabOrder(previous, next);
        }
        previous = next;
    }
}

void AlertWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return;  // the window came back from the Dock: the prompt stays as it was
    }
    QWidget* focus = window()->focusWidget();
    if (!isAncestorOf(focus)) {
        mFocusBefore = focus;
    }
    mAgree->setFocus(Qt::OtherFocusReason);
}

void AlertWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (event->spontaneous()) {
        return;  // the window was minimised, the prompt is still open
    }
    QWidget* back = mFocusBefore.data();
    mFocusBefore = nullptr;
    if (back && back->isVisible() && back->isEnabled()) {
        back->setFocus(Qt::OtherFocusReason);
    }
}

void AlertWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        mController.cancelButtonPressed();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool AlertWindow::focusNextPrevChild(bool next) {
    if (!isVisible()) {
        return QWidget::focusNextPrevChild(next);  // going: the focus leaves as usual
    }
    // The prompt stands for a modal window: Tab and Shift+Tab go round its own controls only.
    QList<QWidget*> chain;
    for (QWidget* w = nextInFocusChain(); w != this; w = w->nextInFocusChain()) {
        if (isAncestorOf(w) && w->isVisibleTo(this) && w->isEnabled() &&
            (w->focusPolicy() & Qt::TabFocus)) {
            chain << w;
        }
    }
    if (chain.isEmpty()) {
        return false;
    }
    const qsizetype at = chain.indexOf(window()->focusWidget());
    const qsizetype count = chain.size();
    const qsizetype to = at < 0 ? (next ? 0 : count - 1) : (at + (next ? 1 : count - 1)) % count;
    chain[to]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void AlertWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0, 0, 0, 20), 1.0));
    painter.setBrush(promptBackground());
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kRadius, kRadius);
}

}  // namespace corvane::ui
