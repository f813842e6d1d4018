#include "gui_support.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QTest>

#include "platform/main_queue.h"
#include "ui/introducing_view.h"
#include "ui/main_window.h"

namespace corvane::gui_test {

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    return QTest::qWaitFor(done, timeoutMs);
}

void settle() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

void click(QWidget* widget, std::optional<QPoint> pos) {
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, pos ? *pos : widget->rect().center());
    settle();
}

LinkCatcher::LinkCatcher() {
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
}

LinkCatcher::~LinkCatcher() {
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

void LinkCatcher::open(const QUrl& url) {
    mOpened << url;
}

SetupWindow::SetupWindow(Options options) {
    fakes.installer->appExists = options.applicationExists;
    ui::AppDelegate::Environment environment;
    environment.services = fakes.services(platform::mainQueue());
    environment.services.window = nullptr;  // the shell sets its own
    const std::optional<QSizeF> screen = options.screen;
    environment.mainScreenSize = [screen] { return screen; };
    environment.terminate = [this] { ++mTerminations; };
    mDelegate = std::make_unique<ui::AppDelegate>(std::move(environment));
    mDelegate->applicationDidFinishLaunching();
    waitFor([this] { return controller().machineProbed(); });
    settle();
}

SetupWindow::~SetupWindow() {
    fakes.installer->release();
    fakes.downloads->join();
    settle();
    mDelegate.reset();
    settle();
}

QWidget& SetupWindow::window() {
    return *mDelegate->mainWindow();
}

void SetupWindow::startDownload() {
    controller().setIsConfirmProtocol(true);
    auto* button = find<QWidget>("installButton");
    QTest::mousePress(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
    QTest::mouseRelease(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
    settle();
}

ui::RunningAlert* SetupWindow::showRunningAlert() {
    fakes.installer->usingNow = true;
    startDownload();
    auto* view = find<ui::IntroducingView>("introducingView");
    return view ? view->runningAlert() : nullptr;
}

}  // namespace corvane::gui_test
