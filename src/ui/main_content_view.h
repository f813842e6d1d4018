#pragma once
// The whole content of the setup window, redrawn from the controller whenever it changes: the
// 680 × 436 main area (the "background" picture, the 300-point picture region and the current
// step's screen, with the agreement prompt over everything while it is asked for) and, while the
// controller keeps it open, the 56-point options drawer below. It also runs the one-second
// progress tick while the install line shows.
#include <QTimer>
#include <QWidget>
#include <optional>

#include "setup/content_view.h"

namespace corvane::ui {

class AlertWindow;
class DownloadFailedView;
class DownloadingView;
class DragMenuView;
class InstallFailedView;
class IntroducingView;

class MainContentView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kMainAreaHeight = WINDOW_HEIGHT - 56;
    static constexpr int kPictureRegionHeight = 300;

    // Subscribes to `controller`, which must outlive this view, and draws its state.
    explicit MainContentView(ContentView& controller, QWidget* parent = nullptr);
    ~MainContentView() override;

    // The size the content wants: 680 wide, 492 high with the drawer, else 436.
    [[nodiscard]] QSize idealSize() const;
    [[nodiscard]] QSize sizeHint() const override;

    [[nodiscard]] QWidget* mainArea() const { return mMainArea; }
    [[nodiscard]] IntroducingView* introducingView() const { return mIntro; }
    [[nodiscard]] DownloadingView* downloadingView() const { return mDownloading; }
    // The failure screens exist from their first showing on; nullptr before.
    [[nodiscard]] DownloadFailedView* downloadFailedView() const { return mDownloadFailed; }
    [[nodiscard]] InstallFailedView* installFailedView() const { return mInstallFailed; }
    [[nodiscard]] AlertWindow* agreementPrompt() const { return mPrompt; }
    [[nodiscard]] DragMenuView* dragMenuView() const { return mDrawer; }
    // The screen of the current step.
    [[nodiscard]] QWidget* currentStepView() const { return mCurrentStep; }
    [[nodiscard]] const QTimer& progressTimer() const { return mTick; }

    // Ends running bar animations (pictures of the screen at rest).
    void finishAnimations();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void refresh();
    void layoutStep();
    // The screen of `status`, built on first use.
    [[nodiscard]] QWidget* stepViewFor(INSTALLER_STATUS status);

    ContentView& mController;
    int mSubscription = 0;
    QWidget* mMainArea;
    IntroducingView* mIntro;
    DownloadingView* mDownloading;
    DownloadFailedView* mDownloadFailed = nullptr;
    InstallFailedView* mInstallFailed = nullptr;
    AlertWindow* mPrompt;
    DragMenuView* mDrawer;
    QWidget* mCurrentStep = nullptr;
    std::optional<bool> mDrawerShown;
    QTimer mTick;
};

}  // namespace corvane::ui
