#pragma once
// Focus rings as a Mac with full keyboard access shows them: only once the keyboard is in use
// (a key press, or the focus moved by Tab), and no longer after the next pointer press, so a
// pointer user never sees one.
class QWidget;

namespace corvane::ui {

// Starts following the keyboard's use for the whole application; later calls do nothing.
void watchKeyboardUse();
// Whether `widget` draws its focus ring now: it has the focus and the keyboard is in use.
[[nodiscard]] bool showsFocusRing(const QWidget& widget);

}  // namespace corvane::ui
