// The core's seams as the window provides them: the main queue and the resized window.
#include <gtest/gtest.h>

#include <QThread>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "gui_support.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_window_service.h"

namespace corvane::gui_test {
namespace {

TEST(QtMainQueue, RunsTasksFromAnyThreadInOrderOnTheGuiThread) {
    ui::QtMainQueue queue;
    std::vector<int> order;
    std::atomic<bool> offThread{false};
    QThread* gui = QThread::currentThread();
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            queue.post([&, i] {
                if (QThread::currentThread() != gui) {
                    offThread = true;
                }
                order.push_back(i);
            });
        }
    });
    worker.join();
    EXPECT_TRUE(order.empty()) << "nothing runs before the event loop does";
    ASSERT_TRUE(waitFor([&] { return order.size() == 200; }));
    EXPECT_FALSE(offThread);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST(QtMainQueue, MayBeReleasedLastOnAWorkerThread) {
    auto queue = std::make_shared<ui::QtMainQueue>();
    std::thread worker([q = std::move(queue)]() mutable { q.reset(); });
    worker.join();
    settle();
    // The queue's QObject went back to the GUI thread to be destroyed; another queue still works.
    ui::QtMainQueue next;
    bool ran = false;
    next.post([&] { ran = true; });
    EXPECT_TRUE(waitFor([&] { return ran; }));
}

TEST(QtWindowService, SetsTheContentSizeAndKeepsTheBottomEdgeAsAMacDoes) {
    auto window = std::make_unique<QWidget>();
    window->setGeometry(380, 204, 680, 492);
    window->show();
    settle();
    ui::QtWindowService service(window.get());
    service.resizeWindowTo(680, 436);
    settle();
    EXPECT_EQ(window->size(), QSize(680, 436));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "not resizable by the user";
    EXPECT_EQ(window->geometry(), QRect(380, 260, 680, 436)) << "bottom edge still at 696";
    service.resizeWindowTo(680, 492);
    settle();
    EXPECT_EQ(window->geometry(), QRect(380, 204, 680, 492));

    window.reset();
    service.resizeWindowTo(680, 492);  // the window is gone: nothing happens
}

}  // namespace
}  // namespace corvane::gui_test
