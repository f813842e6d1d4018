#pragma once
// Frameless windows with a clear background and rounded corners (the running alert, the exit
// panel).
#include <QWidget>

namespace corvane::ui {

// Makes `window` frameless with a clear background so that only what it paints shows. On an X11
// display, where a clear background needs a compositor that may not be running, the window is
// also cut to the rounded rectangle of `radius` so that no dark corners show.
void makeClearRoundedWindow(QWidget& window, int radius);

}  // namespace corvane::ui
