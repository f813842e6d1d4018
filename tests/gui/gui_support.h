#pragma once
// What the window tests share: a setup window on fakes, opened links, waiting, PNG snapshots.
#include <QObject>
#include <QPoint>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "support/fake_services.h"
#include "ui/app_delegate.h"

namespace corvane::ui {
class RunningAlert;
}

namespace corvane::gui_test {

// Runs the event loop until `done()` or `timeoutMs` has passed; returns done()'s answer.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000);
// Lets queued work (posted notifications, deferred closes) run.
void settle();

// Clicks with the primary button at `pos` (widget coordinates; default: the centre).
void click(QWidget* widget, std::optional<QPoint> pos = std::nullopt);

// Records the links the window asks the desktop to open, instead of starting a browser.
class LinkCatcher : public QObject {
    Q_OBJECT
  public:
    LinkCatcher();
    ~LinkCatcher() override;
    [[nodiscard]] const QList<QUrl>& opened() const { return mOpened; }

  public slots:
    void open(const QUrl& url);

  private:
    QList<QUrl> mOpened;
};

// A setup window as the program builds it, on fakes; quitting is recorded rather than done.
class SetupWindow {
  public:
    struct Options {
        bool applicationExists = false;
        std::optional<QSizeF> screen = QSizeF(1440, 900);
    };
    SetupWindow() : SetupWindow(Options{}) {}
    explicit SetupWindow(Options options);
    ~SetupWindow();

    test::Fakes fakes;
    ui::AppDelegate& delegate() { return *mDelegate; }
    ContentView& controller() { return *mDelegate->contentView(); }
    QWidget& window();
    [[nodiscard]] int terminations() const { return mTerminations; }

    // Typed child of the window by object name; null when there is none.
    template <typename T>
    T* find(const char* objectName) {
        return window().findChild<T*>(QString::fromUtf8(objectName));
    }

    // Ticks the agreement and presses "开始安装": the download starts.
    void startDownload();
    // Corvane is running when "开始安装" is pressed: the alert that asks to close it first,
    // or null when none came.
    ui::RunningAlert* showRunningAlert();

  private:
    std::unique_ptr<ui::AppDelegate> mDelegate;
    int mTerminations = 0;
};

}  // namespace corvane::gui_test
