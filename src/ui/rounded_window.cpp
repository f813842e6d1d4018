#include "ui/rounded_window.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QRegion>

namespace corvane::ui {

void makeClearRoundedWindow(QWidget& window, int radius) {
    window.setWindowFlag(Qt::FramelessWindowHint, true);
    window.setAttribute(Qt::WA_TranslucentBackground, true);
    window.setAutoFillBackground(false);
    if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
        QPainterPath path;
        path.addRoundedRect(QRectF(window.rect()), radius, radius);
        window.setMask(QRegion(path.toFillPolygon().toPolygon()));
    }
}

}  // namespace corvane::ui
