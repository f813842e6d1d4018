#include "ui/btn_view.h"

#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <utility>

#include "ui/keyboard_focus.h"
#include "ui/pictures.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr qreal kCornerRadius = 10.0;
constexpr int kCaptionSize = 18;

bool isActivationKey(int key) {
    return key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

QString pictureSuffix(ButtonState state) {
    switch (state) {
        case ButtonState::hovered:
            return QStringLiteral("-hover");
        case ButtonState::pressed:
            return QStringLiteral("-press");
        case ButtonState::normal:
            break;
    }
    return QStringLiteral("-normal");
}

BtnView::BtnView(QString btnName, const QString& text, QColor textColor, int width, int height,
                 std::function<void()> onPress, QWidget* parent)
    : QAbstractButton(parent),
      mOnPress(std::move(onPress)),
      mBtnName(std::move(btnName)),
      mTextColor(textColor),
      mWidth(width),
      mHeight(height) {
    setText(text);
    setFixedSize(width, height);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover, false);
    watchKeyboardUse();
    // Assistive technologies press buttons through click(); the mouse and the keyboard are
    // handled below and never emit clicked().
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (mOnPress) {
            mOnPress();
        }
    });
}

QString BtnView::pictureName() const {
    return mBtnName + pictureSuffix(mButtonState);
}

QSize BtnView::sizeHint() const {
    return {mWidth, mHeight};
}

void BtnView::setButtonState(ButtonState state) {
    if (mButtonState != state) {
        mButtonState = state;
        update();
    }
}

void BtnView::press() {
    setButtonState(ButtonState::pressed);
    if (mOnPress) {
        // The action may rebuild the screen around us; keep nothing of `this` after it.
        mOnPress();
    }
}

void BtnView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);

    const QRectF frame(0, 0, mWidth, mHeight);
    QPainterPath clip;
    clip.addRoundedRect(frame, kCornerRadius, kCornerRadius);
    painter.setClipPath(clip);

    Pictures::drawFill(painter, pictureName(), frame);

    if (!text().isEmpty()) {
        painter.setFont(uiFont(kCaptionSize));
        painter.setPen(mTextColor);
        painter.drawText(frame, Qt::AlignCenter, text());
    }

    if (showsFocusRing(*this)) {
        QPen ring(accentBlue());
        ring.setWidthF(2.0);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame.adjusted(1, 1, -1, -1), kCornerRadius - 1, kCornerRadius - 1);
    }
}

void BtnView::enterEvent(QEnterEvent* event) {
    mPointerInside = true;
    setButtonState(ButtonState::hovered);
    QAbstractButton::enterEvent(event);
}

void BtnView::leaveEvent(QEvent* event) {
    mPointerInside = false;
    setButtonState(ButtonState::normal);
    QAbstractButton::leaveEvent(event);
}

void BtnView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    mHeld = true;
    mPointerInside = true;
    press();
}

void BtnView::mouseMoveEvent(QMouseEvent* event) {
    if (!mHeld || !(event->buttons() & Qt::LeftButton)) {
        event->ignore();
        return;
    }
    event->accept();
    // While a button is held the toolkit keeps sending us the moves and holds back the leave
    // event until the release; crossing our edge is that leave.
    const bool inside = rect().contains(event->position().toPoint());
    if (mPointerInside && !inside) {
        mPointerInside = false;
        setButtonState(ButtonState::normal);
        return;
    }
    mPointerInside = inside;
    press();
}

void BtnView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !mHeld) {
        event->ignore();
        return;
    }
    event->accept();
    mHeld = false;
    setButtonState(ButtonState::normal);
}

void BtnView::keyPressEvent(QKeyEvent* event) {
    if (!isActivationKey(event->key())) {
        QAbstractButton::keyPressEvent(event);
        return;
    }
    event->accept();
    if (!event->isAutoRepeat() && !mKeyHeld) {
        mKeyHeld = true;
        press();
    }
}

void BtnView::keyReleaseEvent(QKeyEvent* event) {
    if (!isActivationKey(event->key())) {
        QAbstractButton::keyReleaseEvent(event);
        return;
    }
    event->accept();
    if (!event->isAutoRepeat()) {
        mKeyHeld = false;
        setButtonState(ButtonState::normal);
    }
}

void BtnView::focusInEvent(QFocusEvent* event) {
    QAbstractButton::focusInEvent(event);
    update();
}

void BtnView::focusOutEvent(QFocusEvent* event) {
    mKeyHeld = false;
    QAbstractButton::focusOutEvent(event);
    update();
}

bool BtnView::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

}  // namespace corvane::ui
