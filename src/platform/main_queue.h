#pragma once
// The user-interface ("main") thread as the core sees it: a queue that runs tasks there in order.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace corvane::platform {

class MainQueue {
  public:
    virtual ~MainQueue() = default;
    // Queues `task` to run on the main thread, after every task queued before it. Never runs it
    // inline, and may be called from any thread.
    virtual void post(std::function<void()> task) = 0;
};

// The process's main queue, like the platform's own main dispatch queue: the Qt application
// registers its event loop, tests their RunLoop. Safe from any thread.
void setMainQueue(std::shared_ptr<MainQueue> queue);
[[nodiscard]] std::shared_ptr<MainQueue> mainQueue();

// Posts to the registered main queue. Without one (command-line tools that have no main
// loop) the task runs at once on the calling thread.
void postToMain(std::function<void()> task);

// A plain main loop for tests and headless runs. The thread that calls run*() is the main thread.
class RunLoop final : public MainQueue {
  public:
    void post(std::function<void()> task) override;

    // Runs tasks until `done()` is true (checked after each task) or `timeout` passes.
    // Returns done()'s final answer.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs tasks for `duration`, then returns.
    void runFor(std::chrono::milliseconds duration);
    // Runs the tasks that are queued now (and those they queue) until the queue is empty.
    void drain();

  private:
    bool runOne(std::chrono::steady_clock::time_point deadline);

    std::mutex mMutex;
    std::condition_variable mCv;
    std::deque<std::function<void()>> mTasks;
};

}  // namespace corvane::platform
