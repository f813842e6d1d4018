#pragma once
// The native look of the setup window where the platform has one beyond Qt's: on macOS a
// transparent title bar with the content extending under it and the title text hidden (the
// title stays set for the Window menu and assistive technologies). Elsewhere the window keeps
// the platform's normal title bar.
class QWidget;

namespace corvane::ui {

#if defined(__APPLE__)
// Needs the window's native handle; call it once the window has been created (before or after
// it is shown). Does nothing when there is no native window yet.
void applyNativeWindowStyle(QWidget& window);
#else
inline void applyNativeWindowStyle(QWidget&) {}
#endif

}  // namespace corvane::ui
