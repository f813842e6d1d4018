#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/main_queue.h"

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;

TEST(RunLoop, RunsPostedTasksInOrderOnTheLoopThreadAndGivesUpAtTheTimeout) {
    RunLoop loop;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread([&] {
        for (int i = 0; i < 100; ++i) {
            loop.post([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
    }).join();
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 100; }, 5s));
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i], static_cast<int>(i));
        EXPECT_EQ(threads[i], std::this_thread::get_id());
    }
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
    EXPECT_EQ(mainQueue(), loop);
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
    EXPECT_EQ(outer, std::vector<std::string>{"after"});
}

}  // namespace
}  // namespace corvane::platform
