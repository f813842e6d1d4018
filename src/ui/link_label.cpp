#include "ui/link_label.h"

#include <QMouseEvent>
#include <QPainter>
#include <cmath>
#include <utility>

#include "ui/accessibility.h"
#include "ui/link_target.h"

namespace corvane::ui {

LinkLabel::LinkLabel(const QList<TextRun>& runs, const QFont& font, const QColor& color,
                     std::optional<int> wrapWidth, QWidget* parent)
    : QWidget(parent) {
    installAccessibility();
    mText.setRuns(runs, font, color);
    if (wrapWidth) {
        mText.setWrapWidth(static_cast<qreal>(*wrapWidth));
    }
    setMouseTracking(true);
    setAccessibleName(mText.plainText());
    setFixedSize(sizeHint());
    mLinks = addLinkTargets(*this, runs, [this](const QUrl& link) { return linkRect(link); });
}

QSize LinkLabel::sizeHint() const {
    const QSizeF size = mText.size();
    return {static_cast<int>(std::ceil(size.width())), static_cast<int>(std::ceil(size.height()))};
}

QSize LinkLabel::minimumSizeHint() const {
    return sizeHint();
}

QUrl LinkLabel::linkAt(const QPoint& pos) const {
    return mText.linkAt(QPointF(pos));
}

QRect LinkLabel::linkRect(const QUrl& link) const {
    QRectF area;
    for (const QRectF& part : mText.linkRects(link)) {
        area = area.united(part);
    }
    return area.toAlignedRect();
}

void LinkLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    mText.draw(painter, QPointF(0, 0));
}

void LinkLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    mPressedLink = linkAt(event->position().toPoint());
    event->setAccepted(!mPressedLink.isEmpty());
}

void LinkLabel::mouseMoveEvent(QMouseEvent* event) {
    setCursor(linkAt(event->position().toPoint()).isEmpty() ? Qt::ArrowCursor
                                                            : Qt::PointingHandCursor);
    event->ignore();
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || mPressedLink.isEmpty()) {
        event->ignore();
        return;
    }
    const QUrl link = std::exchange(mPressedLink, QUrl());
    if (linkAt(event->position().toPoint()) == link) {
        openLink(link);
    }
    event->accept();
}

}  // namespace corvane::ui
