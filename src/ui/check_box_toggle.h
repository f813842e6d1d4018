#pragma once
// The check-box look: "checkedbox" or "uncheckbox", then the label.
#include "ui/picture_toggle.h"

namespace corvane::ui {

class CheckBoxToggle : public PictureToggle {
    Q_OBJECT
  public:
    explicit CheckBoxToggle(const QList<TextRun>& label, QWidget* parent = nullptr);
};

}  // namespace corvane::ui
