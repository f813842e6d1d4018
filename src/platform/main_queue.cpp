#include "platform/main_queue.h"

#include <utility>

namespace corvane::platform {
namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<MainQueue> queue;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void setMainQueue(std::shared_ptr<MainQueue> queue) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.queue = std::move(queue);
}

std::shared_ptr<MainQueue> mainQueue() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.queue;
}

void postToMain(std::function<void()> task) {
    if (auto q = mainQueue()) {
        q->post(std::move(task));
    } else {
        task();
    }
}

void RunLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mMutex);
        mTasks.push_back(std::move(task));
    }
    mCv.notify_one();
}

bool RunLoop::runOne(std::chrono::steady_clock::time_point deadline) {
    std::function<void()> task;
    {
        std::unique_lock lock(mMutex);
        if (!mCv.wait_until(lock, deadline, [&] { return !mTasks.empty(); })) {
            return false;
        }
        task = std::move(mTasks.front());
        mTasks.pop_front();
    }
    task();
    return true;
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        runOne(deadline);
    }
    return true;
}

void RunLoop::runFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        runOne(deadline);
    }
}

void RunLoop::drain() {
    while (runOne(std::chrono::steady_clock::now())) {
    }
}

}  // namespace corvane::platform
