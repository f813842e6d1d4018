#pragma once
// The core's main queue on Qt's event loop: tasks posted from any thread run, in order, on the
// thread that created the queue (the GUI thread), each as a queued call.
#include <QObject>
#include <memory>

#include "platform/main_queue.h"

namespace corvane::ui {

class QtMainQueue final : public platform::MainQueue {
  public:
    // Must be created on the thread whose event loop is to run the tasks, after the
    // QCoreApplication exists.
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    // Never runs `task` inline. Tasks posted after the event loop has stopped for good are
    // dropped.
    void post(std::function<void()> task) override;

  private:
    std::unique_ptr<QObject> mContext;
};

}  // namespace corvane::ui
