#include "ui/picture_toggle.h"

#include <QFocusEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>
#include <utility>

#include "ui/keyboard_focus.h"
#include "ui/link_target.h"
#include "ui/pictures.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr int kSpacing = 5;

}  // namespace

PictureToggle::PictureToggle(ToggleLook look, const QList<TextRun>& label, QWidget* parent)
    : QCheckBox(parent), mLook(std::move(look)) {
    mLabel.setRuns(label, uiFont(kDefaultFontSize), textGrey());
    // The plain text names the switch for assistive technologies; the row is drawn below.
    setText(mLabel.plainText());
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(sizeHint());
    watchKeyboardUse();
    mLinks = addLinkTargets(*this, label, [this](const QUrl& link) { return linkRect(link); });
}

QString PictureToggle::pictureName() const {
    return isChecked() ? mLook.onPicture : mLook.offPicture;
}

void PictureToggle::showValue(bool value) {
    const QSignalBlocker blocker(this);
    setChecked(value);
}

QSize PictureToggle::sizeHint() const {
    const QSizeF picture = Pictures::naturalSize(mLook.offPicture);
    const QSizeF label = mLabel.size();
    const qreal width = picture.width() + kSpacing + label.width();
    const qreal height = std::max(picture.height(), label.height());
    return {static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height))};
}

QSize PictureToggle::minimumSizeHint() const {
    return sizeHint();
}

QRect PictureToggle::pictureRect() const {
    const QSize picture = Pictures::naturalSize(mLook.offPicture).toSize();
    const int y = (height() - picture.height()) / 2;
    const int x = mLook.pictureFirst ? 0 : labelRect().right() + 1 + kSpacing;
    return {QPoint(x, y), picture};
}

QRect PictureToggle::labelRect() const {
    const QSize label = mLabel.size().toSize();
    const int y = (height() - label.height()) / 2;
    const int x = mLook.pictureFirst
                      ? Pictures::naturalSize(mLook.offPicture).toSize().width() + kSpacing
                      : 0;
    return {QPoint(x, y), label};
}

void PictureToggle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRect picture = pictureRect();
    Pictures::draw(painter, pictureName(), picture);
    mLabel.draw(painter, labelRect().topLeft());

    if (showsFocusRing(*this)) {
        QPen ring(accentBlue());
        ring.setWidthF(1.5);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(picture).adjusted(-1.5, -1.5, 1.5, 1.5), 5, 5);
    }
}

QUrl PictureToggle::linkAt(const QPoint& pos) const {
    const QRect label = labelRect();
    if (!label.contains(pos)) {
        return {};
    }
    return mLabel.linkAt(QPointF(pos - label.topLeft()));
}

QRect PictureToggle::linkRect(const QUrl& link) const {
    QRectF area;
    for (const QRectF& part : mLabel.linkRects(link)) {
        area = area.united(part);
    }
    return area.translated(labelRect().topLeft()).toAlignedRect();
}

void PictureToggle::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        mPressedLink = linkAt(event->position().toPoint());
        if (!mPressedLink.isEmpty()) {
            event->accept();
            return;
        }
    }
    QCheckBox::mousePressEvent(event);
}

void PictureToggle::mouseMoveEvent(QMouseEvent* event) {
    if (!mPressedLink.isEmpty()) {
        event->accept();
        return;
    }
    QCheckBox::mouseMoveEvent(event);
}

void PictureToggle::mouseReleaseEvent(QMouseEvent* event) {
    if (!mPressedLink.isEmpty() && event->button() == Qt::LeftButton) {
        const QUrl link = std::exchange(mPressedLink, QUrl());
        if (linkAt(event->position().toPoint()) == link) {
            openLink(link);
        }
        event->accept();
        return;
    }
    QCheckBox::mouseReleaseEvent(event);
}

void PictureToggle::focusInEvent(QFocusEvent* event) {
    QCheckBox::focusInEvent(event);
    update();
}

void PictureToggle::focusOutEvent(QFocusEvent* event) {
    QCheckBox::focusOutEvent(event);
    update();
}

bool PictureToggle::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

}  // namespace corvane::ui
