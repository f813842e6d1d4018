#include "ui/app_delegate.h"

#include <QEvent>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>
#include <utility>

#include "platform/log.h"
#include "ui/about_panel.h"
#include "ui/app_menu.h"
#include "ui/exit_alert_window.h"
#include "ui/main_content_view.h"
#include "ui/main_window.h"
#include "ui/pictures.h"
#include "ui/qt_window_service.h"

namespace corvane::ui {
namespace {

// Whole points of a screen size, the fraction dropped; sizes beyond any screen are capped.
int wholePoints(double value) {
    if (!std::isfinite(value) || value <= 0.0) {
        return 0;
    }
    return value >= 1e9 ? 1000000000 : static_cast<int>(value);
}

}  // namespace

MacRect mainWindowFrame(QSizeF screen) {
    const int w = wholePoints(screen.width());
    const int h = wholePoints(screen.height());
    return {(w - WINDOW_WIDTH) / 2, (h - WINDOW_HEIGHT) / 2, WINDOW_WIDTH, WINDOW_HEIGHT};
}

MacRect exitPanelFrame(QPoint windowOrigin) {
    constexpr int kPanelWidth = 304;
    constexpr int kPanelHeight = 236;
    constexpr int kLeft = 188;  // centres the panel over the 680-point window
    return {windowOrigin.x() + kLeft, windowOrigin.y() + (WINDOW_HEIGHT - kPanelHeight) / 2,
            kPanelWidth, kPanelHeight};
}

QRect toQtRect(const MacRect& frame, int screenHeight) {
    return {frame.x, screenHeight - frame.y - frame.height, frame.width, frame.height};
}

std::string formatPoints(double value) {
    // The fewest decimals that read back as the same number, in the C locale whatever the
    // user's. Not std::to_chars: its floating-point form needs macOS 13.3, newer than the oldest
    // system the setup runs on.
    std::string text;
    for (int decimals = 0; decimals <= 17; ++decimals) {
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out << std::fixed << std::setprecision(decimals) << value;
        text = out.str();
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        double back = 0.0;
        if (!std::isfinite(value) || ((in >> back) && back == value)) {
            break;
        }
    }
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

AppDelegate::AppDelegate(Environment environment) : mEnvironment(std::move(environment)) {
    Pictures::initResources();
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->installEventFilter(this);
    }
}

AppDelegate::~AppDelegate() {
    if (mController) {
        mController->unsubscribe(mSubscription);
    }
    // The window (and with it the panel it parents) shows the controller: it goes first.
    mMenu.reset();
    mWindow.reset();
    // A window closed before its first frame must not keep the probes waiting.
    openStartupGate();
    mController.reset();
}

void AppDelegate::openStartupGate() {
    if (!mStartupGateOpen) {
        mStartupGateOpen = true;
        mFirstFrame.set_value();
    }
}

MainContentView* AppDelegate::mainContentView() const {
    return mContent.data();
}

ExitAlertPanel* AppDelegate::confirmCloseAlert() const {
    return mConfirmCloseAlert.data();
}

std::optional<QSizeF> AppDelegate::mainScreenSize() const {
    if (mEnvironment.mainScreenSize) {
        return mEnvironment.mainScreenSize();
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        return QSizeF(screen->geometry().size());
    }
    return std::nullopt;
}

int AppDelegate::screenHeight() const {
    const std::optional<QSizeF> size = mainScreenSize();
    return size ? wholePoints(size->height()) : 0;
}

void AppDelegate::applicationDidFinishLaunching() {
    ContentView::Services services = mEnvironment.services;
    services.startupGate = mFirstFrame.get_future().share();
    mController = std::make_unique<ContentView>(std::move(services));
    mSubscription = mController->subscribe([this] { controllerChanged(); });

    mWindow = std::make_unique<MainWindow>(MainWindow::CloseHandlers{
        [this] { return windowShouldClose(); },
        [this] {
            quitWhenNoInstallRuns([this] {
                if (applicationShouldTerminateAfterLastWindowClosed()) {
                    terminate();
                }
            });
        },
    });
    mController->setWindow(std::make_shared<QtWindowService>(mWindow.get()));
    mMenu = std::make_unique<AppMenu>(*mWindow,
                                      AppMenu::Handlers{[this] { showAboutPanel(mWindow.get()); },
                                                        [this] { applicationShouldTerminate(); }});
    mWindow->setFixedSize(WINDOW_WIDTH, WINDOW_HEIGHT);

    // The content's first drawing opens the drawer on a fresh machine, which sizes the window.
    mContent = new MainContentView(*mController);
    mWindow->setContent(mContent);

    if (const std::optional<QSizeF> screen = mainScreenSize()) {
        const MacRect frame = mainWindowFrame(*screen);
        mWindow->setFixedSize(frame.width, frame.height);
        mWindow->move(toQtRect(frame, wholePoints(screen->height())).topLeft());
        platform::logLine("主屏幕大小: " + formatPoints(screen->width()) + " x " +
                          formatPoints(screen->height()));
    } else {
        platform::logLine("无法获取主屏幕");
    }
    // The window fits its content: without the drawer only the main area is shown.
    mWindow->setFixedSize(mContent->idealSize());

    mWindow->show();
    mWindow->raise();
    mWindow->activateWindow();
    if (QWindow* handle = mWindow->windowHandle()) {
        handle->installEventFilter(this);
    } else {
        openStartupGate();
    }
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        applicationShouldTerminate();
        event->setAccepted(mTerminating);
        return true;
    }
    // The window draws its first frame while it handles its first exposure.
    if (event->type() == QEvent::Expose && mWindow && watched == mWindow->windowHandle()) {
        watched->removeEventFilter(this);
        // Queued, so the gate opens once that frame has been drawn and shown.
        QTimer::singleShot(0, this, [this] { openStartupGate(); });
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::applicationWillTerminate() {}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() {
    ReportService& reporter = *mEnvironment.services.reporter;
    if (reporter.data().bCoverInstall) {
        reporter.report(false, ENUMInstallResult::Quit_over_existing, false, true, true);
    } else {
        reporter.report(false, ENUMInstallResult::Quit, false, false, true);
    }
    return true;
}

bool AppDelegate::windowShouldClose() {
    if (mQuitRequested) {
        return false;  // already quitting, after the install that still runs
    }
    switch (g_installerStatus.load()) {
        case INSTALLER_STATUS::Installing:
            if (mWindow) {
                mWindow->showMinimized();
            }
            return false;
        case INSTALLER_STATUS::Downloading:
            showCustomConfirmationAlert();
            return false;
        case INSTALLER_STATUS::Prepare_to_download:
        case INSTALLER_STATUS::Download_failed:
        case INSTALLER_STATUS::Install_failed:
        case INSTALLER_STATUS::Install_success:
            break;
    }
    return true;
}

bool AppDelegate::showCustomConfirmationAlert() {
    QPoint origin(0, 0);
    const int height = screenHeight();
    if (mWindow) {
        // The frame origin in the platform's terms: the window's bottom left corner.
        const QRect frame = mWindow->frameGeometry();
        origin = QPoint(frame.x(), height - (frame.y() + frame.height()));
    }
    const QRect panel = toQtRect(exitPanelFrame(origin), height);

    if (ExitAlertPanel* previous = mConfirmCloseAlert.data()) {
        previous->deleteLater();
    }
    auto* alert =
        new ExitAlertPanel([this] { confirmClose(); }, [this] { cancelClose(); }, mWindow.get());
    mConfirmCloseAlert = alert;
    alert->setGeometry(panel);
    alert->raise();
    alert->activateWindow();
    // A nested event loop: the download, its progress and the one-second tick go on meanwhile.
    alert->exec();
    return false;
}

void AppDelegate::confirmClose() {
    if (ExitAlertPanel* alert = mConfirmCloseAlert.data()) {
        alert->done(QDialog::Accepted);
    }
    quitWhenNoInstallRuns([this] {
        mEnvironment.services.reporter->report(false, ENUMInstallResult::Quit, false, false, true);
        terminate();
    });
}

void AppDelegate::applicationShouldTerminate() {
    // Asked while the panel asks (a logout, ⌘Q): the quit needs no answer from it.
    if (ExitAlertPanel* alert = mConfirmCloseAlert.data();
        alert && alert->isVisible() && !mQuitRequested) {
        alert->done(QDialog::Rejected);
    }
    quitWhenNoInstallRuns([this] { terminate(); });
}

void AppDelegate::quitWhenNoInstallRuns(std::function<void()> quit) {
    if (mQuitRequested) {
        return;
    }
    mQuitRequested = true;
    if (!mController) {
        quit();
        return;
    }
    // A quit in the first moments must not report before the start has been reported.
    mController->finishStartup();
    mController->quitWhenNoInstallRuns(std::move(quit));
}

void AppDelegate::controllerChanged() {
    ExitAlertPanel* alert = mConfirmCloseAlert.data();
    // The download ended while the panel asked: quitting now would cut the install short (or
    // leave a failed download's screen unseen). The panel goes; the new step shows.
    if (alert && alert->isVisible() &&
        mController->installerStatus() != INSTALLER_STATUS::Downloading) {
        alert->done(QDialog::Rejected);
    }
}

void AppDelegate::cancelClose() {
    if (ExitAlertPanel* alert = mConfirmCloseAlert.data()) {
        alert->done(QDialog::Rejected);
    }
}

void AppDelegate::terminate() {
    if (mTerminating) {
        return;
    }
    mTerminating = true;
    // A quit leaves nothing of the download behind in the temporary folder.
    if (mEnvironment.services.downloader) {
        mEnvironment.services.downloader->discardPartialDownload();
    }
    mEnvironment.services.reporter->flush(mEnvironment.quitFlushBound);
    if (mEnvironment.terminate) {
        mEnvironment.terminate();
    } else {
        // Not quit(): that first asks every window to close, and the main window refuses while
        // a quit is under way.
        QCoreApplication::exit(0);
    }
}

}  // namespace corvane::ui
