#pragma once
// The application shell: builds the setup controller and its window once the program has
// started, centres the window, and decides what closing the window means in each step: quit at
// once (with a report), ask first with the exit panel while a download runs, or only minimise
// while an install runs.
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSizeF>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>

#include "setup/content_view.h"

namespace corvane::ui {

class AppMenu;
class ExitAlertPanel;
class MainContentView;
class MainWindow;

// A rectangle in the platform's screen coordinates, origin at the bottom left of the main
// screen (as the setup's window arithmetic is stated).
struct MacRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const MacRect&) const = default;
};

// The main window's frame on a main screen of `screen` points: centred by whole points.
[[nodiscard]] MacRect mainWindowFrame(QSizeF screen);
// The exit panel's content rectangle for a main window whose frame origin is `windowOrigin`
// (whole points; (0, 0) when there is no window).
[[nodiscard]] MacRect exitPanelFrame(QPoint windowOrigin);
// `frame` in Qt's coordinates (origin at the top left) on a main screen `screenHeight` high.
[[nodiscard]] QRect toQtRect(const MacRect& frame, int screenHeight);
// A value as the platform prints a floating-point number: "1440.0", "1440.5".
[[nodiscard]] std::string formatPoints(double value);

class AppDelegate : public QObject {
    Q_OBJECT
  public:
    struct Environment {
        // The controller's services; the window is set by the delegate.
        ContentView::Services services;
        // The main screen's size, or nothing when there is no main screen. Default: Qt's
        // primary screen.
        std::function<std::optional<QSizeF>()> mainScreenSize;
        // Ends the program once the reports are flushed. Default: QCoreApplication::exit(0).
        std::function<void()> terminate;
        // How long a quit waits for the last reports to reach the server.
        std::chrono::milliseconds quitFlushBound{2000};
    };

    explicit AppDelegate(Environment environment);
    ~AppDelegate() override;

    // Builds the controller (which reports the start of the setup) and the main window, places
    // the window and shows it.
    void applicationDidFinishLaunching();
    // Nothing to do: every report that matters has been flushed before the program ends.
    void applicationWillTerminate();
    // Reports the close (Quit_over_existing for an overwrite install, else Quit) and answers
    // true: the program quits.
    [[nodiscard]] bool applicationShouldTerminateAfterLastWindowClosed();
    [[nodiscard]] static bool applicationSupportsSecureRestorableState() { return true; }

    // The user closes the main window: true lets it close.
    [[nodiscard]] bool windowShouldClose();
    // Shows the exit panel modally; returns (false) once it has been answered.
    bool showCustomConfirmationAlert();
    // The panel's "确认": closes the panel, then reports Quit and quits, after the install
    // when one runs (the download may have just handed over to it).
    void confirmClose();
    // The panel's "取消": closes the panel; the setup goes on.
    void cancelClose();
    // The application is asked to quit other than by its window (the platform's quit command:
    // ⌘Q, the Dock's Quit, a logout or restart; SIGTERM, SIGINT): closes the exit panel if it is
    // open and quits without a report, after the install when one runs. Nothing happens while
    // the window's own close is already quitting.
    void applicationShouldTerminate();

    [[nodiscard]] ContentView* contentView() const { return mController.get(); }
    [[nodiscard]] MainWindow* mainWindow() const { return mWindow.get(); }
    [[nodiscard]] AppMenu* appMenu() const { return mMenu.get(); }
    [[nodiscard]] MainContentView* mainContentView() const;
    // The exit panel, open or last closed; null before the first.
    [[nodiscard]] ExitAlertPanel* confirmCloseAlert() const;

  protected:
    // Watches the main window for its first frame, then opens the controller's start-up gate;
    // and the application for the platform's request to quit (QEvent::Quit: ⌘Q, the Dock's
    // Quit, a logout), which it answers itself instead of letting Qt close the window (the
    // window's close asks with the exit panel, which would hold a logout for as long as no one
    // answers). The request is accepted when the program has quit, refused (a logout is then
    // cancelled, not held) while it waits for a running install.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Makes the controller's start-up gate ready, once.
    void openStartupGate();
    // Flushes the reports (bounded) and ends the program.
    void terminate();
    // Runs `quit` (which reports and terminates) once no install runs; the first quit wins.
    void quitWhenNoInstallRuns(std::function<void()> quit);
    // Told of every change of the controller: the exit panel only asks while downloading.
    void controllerChanged();
    [[nodiscard]] std::optional<QSizeF> mainScreenSize() const;
    [[nodiscard]] int screenHeight() const;

    Environment mEnvironment;
    // Ready once the window's first frame is drawn: the controller's probes wait for it.
    std::promise<void> mFirstFrame;
    bool mStartupGateOpen = false;
    std::unique_ptr<ContentView> mController;
    std::unique_ptr<MainWindow> mWindow;  // destroyed before the controller it shows
    std::unique_ptr<AppMenu> mMenu;
    QPointer<MainContentView> mContent;
    QPointer<ExitAlertPanel> mConfirmCloseAlert;
    bool mTerminating = false;
    bool mQuitRequested = false;
    int mSubscription = 0;
};

}  // namespace corvane::ui
