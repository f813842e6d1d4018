#include "ui/drag_menu_toggle.h"

namespace corvane::ui {

DragMenuToggle::DragMenuToggle(const QList<TextRun>& label, QWidget* parent)
    : PictureToggle(ToggleLook{QStringLiteral("dragUp"), QStringLiteral("dragDown"), false}, label,
                    parent) {}

}  // namespace corvane::ui
