#pragma once
// The drawer-switch look: the label, then "dragUp" while the drawer is open, else "dragDown".
#include "ui/picture_toggle.h"

namespace corvane::ui {

class DragMenuToggle : public PictureToggle {
    Q_OBJECT
  public:
    explicit DragMenuToggle(const QList<TextRun>& label, QWidget* parent = nullptr);
};

}  // namespace corvane::ui
