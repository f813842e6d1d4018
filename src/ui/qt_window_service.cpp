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
    if (!mWindow) {
        return;
    }
    // The window is not resizable by the user: its size is always the one the setup chose.
    mWindow->setFixedSize(toPoints(width), toPoints(height));
}

}  // namespace corvane::ui
