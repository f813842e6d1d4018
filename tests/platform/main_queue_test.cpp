#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/main_queue.h"

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;

TEST(RunLoop, RunsPostedTasksInOrderOnTheLoopThread) {
    RunLoop loop;
    std::vector<int> order;
    const auto mainId = std::this_thread::get_id();
    std::atomic<bool> wrongThread{false};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            loop.post([&, i] {
                if (std::this_thread::get_id() != mainId)
                    wrongThread = true;
                order.push_back(i);
            });
        }
    });
    worker.join();
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 100; }, 5s));
    EXPECT_FALSE(wrongThread);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST(RunLoop, RunUntilGivesUpAtTheTimeout) {
    RunLoop loop;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 100ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(MainQueueRegistry, PostsToTheRegisteredQueueOrInlineWithoutOne) {
    setMainQueue(nullptr);
    int ran = 0;
    postToMain([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    auto loop = std::make_shared<RunLoop>();
    setMainQueue(loop);
    postToMain([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    loop->drain();
    EXPECT_EQ(ran, 2);
    setMainQueue(nullptr);
}

TEST(Log, CaptureCollectsLinesAndRestoresTheSink) {
    std::vector<std::string> outer;
    auto previous = setLogSink([&](std::string_view l) { outer.emplace_back(l); });
    {
        ScopedLogCapture capture;
        logLine("文件夹已创建：/tmp/x");
        EXPECT_TRUE(capture.contains("文件夹已创建：/tmp/x"));
        EXPECT_TRUE(capture.containsPrefix("文件夹已创建："));
        EXPECT_FALSE(capture.contains("文件夹已创建："));
    }
    logLine("after");
    setLogSink(std::move(previous));
    ASSERT_EQ(outer.size(), 1u);
    EXPECT_EQ(outer[0], "after");
}

}  // namespace
}  // namespace corvane::platform
