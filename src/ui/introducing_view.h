#pragma once
// The first screen: the "开始安装" button, the agreement check box with its two links and, on
// a machine without Corvane, the custom-install switch. While the controller says Corvane is
// running, the running alert is shown over the window.
#include <QPointer>
#include <QWidget>

#include "setup/content_view.h"

namespace corvane::ui {

class BtnView;
class CheckBoxToggle;
class DragMenuToggle;
class RunningAlert;

class IntroducingView : public QWidget {
    Q_OBJECT
  public:
    explicit IntroducingView(ContentView& controller, QWidget* parent = nullptr);
    ~IntroducingView() override;

    // Redraws from the controller's state. Each call counts as building the screen anew, which
    // arms the install button once more.
    void refresh();

    [[nodiscard]] BtnView* installButton() const { return mInstallButton; }
    [[nodiscard]] CheckBoxToggle* agreementToggle() const { return mAgreement; }
    [[nodiscard]] DragMenuToggle* customInstallToggle() const { return mCustomInstall; }
    // The running alert, once it has been shown.
    [[nodiscard]] RunningAlert* runningAlert() const;

  private:
    void showRunningAlert(bool shown);

    ContentView& mController;
    BtnView* mInstallButton;
    CheckBoxToggle* mAgreement;
    DragMenuToggle* mCustomInstall;
    QPointer<RunningAlert> mRunningAlert;
};

}  // namespace corvane::ui
