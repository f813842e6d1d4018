// The setup program: a Qt application whose one window runs the setup.
#include <QApplication>
#include <QTimer>
#include <memory>
#include <string>
#include <utility>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "setup/content_view.h"
#include "setup/production_services.h"
#include "ui/app_delegate.h"
#include "ui/font_preload.h"
#include "ui/power_off.h"
#include "ui/qt_main_queue.h"
#include "ui/quit_signals.h"

int main(int argc, char* argv[]) {
    // Reads the font configuration while Qt starts, not while the first frame waits.
    corvane::ui::FontPreload fontPreload;
    // Started from the Finder the program has no standard output: the same lines also go to a
    // file a support engineer can ask for. Without it the setup runs all the same.
    if (const auto logFile = corvane::platform::defaultLogFilePath()) {
        if (const std::string error = corvane::platform::openLogFile(*logFile); !error.empty()) {
            corvane::platform::logLine("无法写入日志文件：" + error);
        }
    }
    QApplication app(argc, argv);
    fontPreload.wait();
    // Closing the window is decided and reported by the delegate, not by Qt.
    QApplication::setQuitOnLastWindowClosed(false);

    // The core posts its main-thread work here; it must exist before the controller does.
    auto queue = std::make_shared<corvane::ui::QtMainQueue>();
    corvane::platform::setMainQueue(queue);

    corvane::ui::AppDelegate::Environment environment;
    environment.services = corvane::ContentView::productionServices();
    environment.services.mainQueue = queue;
    // After a successful install the controller ends the run; leaving through the event loop
    // closes the window and returns the status from main().
    environment.services.exit = std::make_shared<corvane::ProcessExitService>(
        [](int status) { QCoreApplication::exit(status); });
    corvane::ui::AppDelegate delegate(std::move(environment));
    // A quit by signal waits for a running install like every other quit.
    corvane::ui::QuitSignals quitSignals([&delegate] { delegate.applicationShouldTerminate(); });
    // A logout must not wait on the exit panel.
    corvane::ui::PowerOffWatch powerOff([&delegate] { delegate.applicationShouldTerminate(); });

    // Like the platform's launch notification: once the main loop runs.
    QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
    const int status = QApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}
