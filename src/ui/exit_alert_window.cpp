#include "ui/exit_alert_window.h"

#include <QFocusEvent>
#include <QPainter>
#include <QPainterPath>
#include <utility>

#include "ui/pictures.h"
#include "ui/rounded_window.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr qreal kRadius = 10.0;
// The painted faces are 40 high, centred in the 48-point clickable frames.
constexpr int kFaceInset = 4;

}  // namespace

QRect flippedFrame(const QRect& bottomLeftFrame, int containerHeight) {
    return {bottomLeftFrame.x(), containerHeight - bottomLeftFrame.y() - bottomLeftFrame.height(),
            bottomLeftFrame.width(), bottomLeftFrame.height()};
}

ExitAlertWindow::ExitAlertWindow(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("exitAlertWindow"));
    setFixedSize(kWidth, kHeight);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void ExitAlertWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), kRadius, kRadius);
    painter.setClipPath(clip);
    Pictures::drawFill(painter, QStringLiteral("ExitAlert"), QRectF(rect()));
}

TransparentButton::TransparentButton(const QString& title, QWidget* parent)
    : QPushButton(title, parent) {
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAutoDefault(false);
    setAccessibleName(title);
}

void TransparentButton::paintEvent(QPaintEvent*) {
    if (!hasFocus() || !mFocusFromKeyboard) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen ring(QColor(0x9D, 0xB8, 0xEE));
    ring.setWidthF(2.0);
    painter.setPen(ring);
    painter.setBrush(Qt::NoBrush);
    const QRectF face = QRectF(rect()).adjusted(0, kFaceInset, 0, -kFaceInset);
    painter.drawRoundedRect(face.adjusted(-1, -1, 1, 1), 9, 9);
}

void TransparentButton::focusInEvent(QFocusEvent* event) {
    mFocusFromKeyboard =
        event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QPushButton::focusInEvent(event);
}

void TransparentButton::focusOutEvent(QFocusEvent* event) {
    mFocusFromKeyboard = false;
    QPushButton::focusOutEvent(event);
}

ExitAlertPanel::ExitAlertPanel(std::function<void()> onConfirm, std::function<void()> onCancel,
                               QWidget* parent)
    : QDialog(parent), mOnConfirm(std::move(onConfirm)), mOnCancel(std::move(onCancel)) {
    setObjectName(QStringLiteral("exitAlertPanel"));
    setWindowTitle(QStringLiteral("Corvane安装程序"));
    setAccessibleName(QStringLiteral("确定要退出安装吗？"));
    setFixedSize(ExitAlertWindow::kWidth, ExitAlertWindow::kHeight);
    setModal(true);

    mView = new ExitAlertWindow(this);
    mView->move(0, 0);

    mConfirm = new TransparentButton(QStringLiteral("确认"), this);
    mConfirm->setObjectName(QStringLiteral("exitConfirmButton"));
    mConfirm->setGeometry(flippedFrame(kConfirmFrame, ExitAlertWindow::kHeight));
    connect(mConfirm, &QPushButton::clicked, this, [this] {
        if (mOnConfirm) {
            mOnConfirm();
        }
    });

    mCancel = new TransparentButton(QStringLiteral("取消"), this);
    mCancel->setObjectName(QStringLiteral("exitCancelButton"));
    mCancel->setGeometry(flippedFrame(kCancelFrame, ExitAlertWindow::kHeight));
    connect(mCancel, &QPushButton::clicked, this, [this] {
        if (mOnCancel) {
            mOnCancel();
        }
    });

    setTabOrder(mCancel, mConfirm);
    makeClearRoundedWindow(*this, static_cast<int>(kRadius));
    // Going on with the setup is the safe answer, so the keyboard starts there.
    mCancel->setFocus();
}

void ExitAlertPanel::reject() {
    if (mOnCancel) {
        mOnCancel();
    } else {
        QDialog::reject();
    }
}

}  // namespace corvane::ui
