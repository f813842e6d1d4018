#include "ui/check_box_toggle.h"

namespace corvane::ui {

CheckBoxToggle::CheckBoxToggle(const QList<TextRun>& label, QWidget* parent)
    : PictureToggle(ToggleLook{QStringLiteral("checkedbox"), QStringLiteral("uncheckbox"), true},
                    label, parent) {}

}  // namespace corvane::ui
