#include <gtest/gtest.h>

#include <chrono>

#include "platform/process.h"

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;

ProcessResult sh(const std::string& line, ProcessOptions o = {}) {
    return runProcess("/bin/sh", {"-c", line}, o);
}

TEST(Process, ExitStatusAndMergedOutput) {
    auto r = sh("echo out; echo err 1>&2; exit 3");
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(r.output, "out\nerr\n");
    EXPECT_TRUE(sh("true").succeeded());
}

TEST(Process, StdoutOnlyLeavesStandardErrorOut) {
    ProcessOptions o;
    o.output = ProcessOptions::Output::StdoutOnly;
    auto r = sh("echo out; echo 'warning from the test: ignore' 1>&2; echo more", o);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.output, "out\nmore\n");
}

TEST(Process, OutputLargerThanAPipeHolds) {
    auto r = sh("head -c 1000000 /dev/zero");
    ASSERT_TRUE(r.succeeded());
    EXPECT_EQ(r.output.size(), 1000000u);
}

TEST(Process, DiscardedOutputStillDrained) {
    ProcessOptions o;
    o.output = ProcessOptions::Output::Discarded;
    auto r = sh("head -c 1000000 /dev/zero", o);
    EXPECT_TRUE(r.succeeded());
    EXPECT_TRUE(r.output.empty());
}

TEST(Process, ReturnsAtChildExitEvenWhenABackgroundChildHoldsThePipe) {
    const auto start = std::chrono::steady_clock::now();
    auto r = sh("sleep 5 & echo started");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.output, "started\n");
    EXPECT_LT(took, 4s);
}

TEST(Process, CannotStart) {
    auto r = runProcess("/nonexistent/program", {});
    EXPECT_FALSE(r.started);
    EXPECT_FALSE(r.succeeded());
    EXPECT_FALSE(r.startError.empty());
}

TEST(Process, StdinIsEmpty) {
    auto r = sh("cat; echo done");
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.output, "done\n");
}

TEST(Process, TimeoutKillsTheWholeGroup) {
    ProcessOptions o;
    o.timeout = 300ms;
    auto r = sh("sleep 30 & sleep 30", o);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.timedOut);
    EXPECT_FALSE(r.succeeded());
}

TEST(Process, NonUtf8OutputIsKeptAsBytes) {
    auto r = sh("printf '\\377\\376'");
    ASSERT_TRUE(r.succeeded());
    EXPECT_EQ(r.output, std::string("\xff\xfe"));
}

}  // namespace
}  // namespace corvane::platform
