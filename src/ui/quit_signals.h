#pragma once
// SIGTERM and SIGINT as a request to quit, delivered on the event loop's thread instead of
// ending the process wherever it is (possibly half-way through moving the app into place).
#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace corvane::ui {

class QuitSignals : public QObject {
    Q_OBJECT
  public:
    // Installs the handlers; `onQuit` runs on this thread once per signal received. At most one
    // instance may exist at a time (a signal handler has only process-wide state to write to).
    // When the handlers cannot be installed the signals keep their default action.
    explicit QuitSignals(std::function<void()> onQuit, QObject* parent = nullptr);
    // Restores the default actions.
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

  private:
    std::function<void()> mOnQuit;
    std::unique_ptr<QSocketNotifier> mNotifier;
    int mReadEnd = -1;
    int mWriteEnd = -1;
};

}  // namespace corvane::ui
