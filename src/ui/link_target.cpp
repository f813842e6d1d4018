#include "ui/link_target.h"

#include <QKeyEvent>
#include <QPainter>
#include <utility>

#include "ui/accessibility.h"
#include "ui/keyboard_focus.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

// The ring stands a little outside the words, so the widget is that much larger than they are.
constexpr int kRingOutset = 2;

}  // namespace

LinkTarget::LinkTarget(const QString& label, QUrl url, const QRect& area, QWidget* parent)
    : QWidget(parent), mUrl(std::move(url)) {
    installAccessibility();
    watchKeyboardUse();
    setObjectName(QStringLiteral("link"));
    setAccessibleName(label);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(area.adjusted(-kRingOutset, -kRingOutset, kRingOutset, kRingOutset));
}

void LinkTarget::open() const {
    openLink(mUrl);
}

void LinkTarget::paintEvent(QPaintEvent*) {
    if (!showsFocusRing(*this)) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen ring(accentBlue());
    ring.setWidthF(1.5);
    painter.setPen(ring);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), 3, 3);
}

void LinkTarget::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
        event->accept();
        if (!event->isAutoRepeat()) {
            open();
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

void LinkTarget::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void LinkTarget::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

QList<LinkTarget*> addLinkTargets(QWidget& host, const QList<TextRun>& runs,
                                  const std::function<QRect(const QUrl&)>& areaOf) {
    QList<LinkTarget*> targets;
    for (const TextRun& run : runs) {
        if (!run.link.isEmpty()) {
            targets << new LinkTarget(run.text, run.link, areaOf(run.link), &host);
        }
    }
    return targets;
}

}  // namespace corvane::ui
