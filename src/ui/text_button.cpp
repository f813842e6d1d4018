#include "ui/text_button.h"

#include <QFontMetrics>
#include <QPainter>

#include "ui/keyboard_focus.h"
#include "ui/ui_style.h"

namespace corvane::ui {

TextButton::TextButton(const QString& text, int fontSize, QWidget* parent)
    : QPushButton(text, parent) {
    setFont(uiFont(fontSize));
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    // Return presses it as Space does, like the window's other controls; outside a dialog
    // this changes nothing else.
    setAutoDefault(true);
    watchKeyboardUse();
    setFixedSize(sizeHint());
}

QSize TextButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 2, metrics.height()};
}

QSize TextButton::minimumSizeHint() const {
    return sizeHint();
}

void TextButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QColor colour = systemBlue();
    if (isDown()) {
        colour = colour.darker(130);
    }
    painter.setFont(font());
    painter.setPen(colour);
    painter.drawText(rect(), Qt::AlignCenter, text());
    if (showsFocusRing(*this)) {
        QPen ring(systemBlue());
        ring.setWidthF(1.0);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    }
}

}  // namespace corvane::ui
