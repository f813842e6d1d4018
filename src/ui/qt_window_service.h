#pragma once
// The controller's window seam on a Qt window: resizing sets the size of the window's content
// area and, as a Mac does, keeps the window's bottom-left corner where it is.
#include <QPointer>
#include <QWidget>

#include "setup/services.h"

namespace corvane::ui {

class QtWindowService final : public WindowService {
  public:
    // `window` may be destroyed before this service; resizing then does nothing.
    explicit QtWindowService(QWidget* window);

    void resizeWindowTo(double width, double height) override;

  private:
    QPointer<QWidget> mWindow;
};

}  // namespace corvane::ui
