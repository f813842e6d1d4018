#include "ui/exit_alert_window.h"

#include <QPainter>
#include <QPainterPath>
#include <utility>

#include "ui/accessibility.h"
#include "ui/keyboard_focus.h"
#include "ui/pictures.h"
#include "ui/rounded_window.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr qreal kRadius = 10.0;
// The painted faces are 40 high, centred in the 48-point clickable frames.
constexpr int kFaceInset = 4;
// What the picture says, for those who cannot see it.
const QString kQuestion = QStringLiteral("确定要退出安装吗？");
const QString kExplanation = QStringLiteral("下载尚未完成，退出后需要重新开始下载。");

}  // namespace

QRect flippedFrame(const QRect& bottomLeftFrame, int containerHeight) {
    return {bottomLeftFrame.x(), containerHeight - bottomLeftFrame.y() - bottomLeftFrame.height(),
            bottomLeftFrame.width(), bottomLeftFrame.height()};
}

ExitAlertWindow::ExitAlertWindow(QWidget* parent) : QWidget(parent) {
    installAccessibility();
    setObjectName(QStringLiteral("exitAlertWindow"));
    setAccessibleName(kQuestion + kExplanation);
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
    watchKeyboardUse();
    setAccessibleName(title);
}

void TransparentButton::paintEvent(QPaintEvent*) {
    if (!showsFocusRing(*this)) {
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

ExitAlertPanel::ExitAlertPanel(std::function<void()> onConfirm, std::function<void()> onCancel,
                               QWidget* parent)
    : QDialog(parent), mOnConfirm(std::move(onConfirm)), mOnCancel(std::move(onCancel)) {
    setObjectName(QStringLiteral("exitAlertPanel"));
    setWindowTitle(QStringLiteral("Corvane安装程序"));
    installAccessibility();
    setAccessibleName(kQuestion);
    setAccessibleDescription(kExplanation);
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
    // "取消" is painted as the primary button, and going on with the setup is the safe answer:
    // the keyboard starts there and Return presses it (Escape, too, means "取消": reject()).
    mCancel->setDefault(true);
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
