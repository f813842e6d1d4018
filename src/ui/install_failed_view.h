#pragma once
// The install-failed screen: "安装失败，请点此" and the control "重新安装", which installs the
// downloaded package again.
#include <QWidget>

#include "setup/content_view.h"

namespace corvane::ui {

class TextButton;

class InstallFailedView : public QWidget {
    Q_OBJECT
  public:
    explicit InstallFailedView(ContentView& controller, QWidget* parent = nullptr);

    [[nodiscard]] TextButton* reinstallButton() const { return mReinstall; }

  private:
    ContentView& mController;
    TextButton* mReinstall;
};

}  // namespace corvane::ui
