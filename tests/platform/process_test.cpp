// Output modes, statuses and the time-out of runProcess; what the command runner builds on it
// (merged output, large output, background children) is tested with the runner.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/process.h"

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;
using Output = ProcessOptions::Output;

TEST(Process, OutputModesStatusAndTimeOut) {
    struct Row {
        const char* what;
        std::string line;
        Output output;
        std::chrono::milliseconds timeout;
        int status;
        std::string out;
    };
    const Row rows[] = {
        {"merged", "echo out; echo err 1>&2; exit 3", Output::Merged, 1min, 3, "out\nerr\n"},
        {"standard output only", "echo out; echo 'test warning: ignore' 1>&2; echo more",
         Output::StdoutOnly, 1min, 0, "out\nmore\n"},
        {"discarded, still drained", "head -c 1000000 /dev/zero", Output::Discarded, 1min, 0, ""},
        {"bytes that are not UTF-8", "printf '\\377\\376'", Output::Merged, 1min, 0, "\xff\xfe"},
        {"time-out ends the whole group", "sleep 30 & sleep 30", Output::Merged, 300ms, -1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ProcessOptions o;
        o.output = row.output;
        o.timeout = row.timeout;
        const auto r = runProcess("/bin/sh", {"-c", row.line}, o);
        EXPECT_TRUE(r.started);
        EXPECT_EQ(r.exitStatus, row.status);
        EXPECT_EQ(r.succeeded(), row.status == 0);
        EXPECT_EQ(r.timedOut, row.status == -1);
        EXPECT_EQ(r.output, row.out);
    }
    const auto r = runProcess("/nonexistent/program", {});
    EXPECT_FALSE(r.started);
    EXPECT_FALSE(r.succeeded());
    EXPECT_FALSE(r.startError.empty());
}

}  // namespace
}  // namespace corvane::platform
