#include "ui/qt_window_service.h"

#include <cmath>
#include <limits>

namespace corvane::ui {
namespace {

int toPoints(double value) {
    if (!std::isfinite(value) || value < 0.0) {
        return 0;
    }
    const double rounded = std::round(value);
    // Larger than any window a toolkit accepts; Qt caps sizes at QWIDGETSIZE_MAX anyway.
    return rounded > 16777215.0 ? 16777215 : static_cast<int>(rounded);
}

}  // namespace

QtWindowService::QtWindowService(QWidget* window) : mWindow(window) {}

void QtWindowService::resizeWindowTo(double width, double height) {
    QWidget* window = mWindow.data();
    if (window == nullptr) {
        return;
    }
    // A Mac window keeps its origin, its bottom-left corner, when its content is resized: the
    // bottom edge stays and the top edge moves. Qt keeps the top edge, so the window is moved
    // by the change in height. The decorations keep their size, so the content's change is
    // the frame's.
    const int heightBefore = window->height();
    const QPoint topLeftBefore = window->pos();
    // The window is not resizable by the user: its size is always the one the setup chose.
    window->setFixedSize(toPoints(width), toPoints(height));
    const int grown = window->height() - heightBefore;
    if (grown != 0) {
        window->move(topLeftBefore - QPoint(0, grown));
    }
}

}  // namespace corvane::ui
