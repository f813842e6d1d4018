// The corvane-ini tool as a script would run it: a real process, standard output and standard
// error kept apart, exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "setup/reg_editer.h"
#include "support/test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class CorvaneIniTool : public ::testing::Test {
  protected:
    ToolRun run(const std::vector<std::string>& args) {
        // The runner merges both streams, so a small shell keeps standard error in a file.
        const std::string errPath = (mDir / "stderr.txt").string();
        std::vector<std::string> argv{"-c", "err=$1; shift; exec \"$0\" \"$@\" 2>\"$err\"", kTool,
                                      errPath};
        argv.insert(argv.end(), args.begin(), args.end());
        const platform::ProcessResult r = platform::runProcess("/bin/sh", argv);
        EXPECT_TRUE(r.started) << r.startError;
        ToolRun result{r.exitStatus, r.output, fs::exists(errPath) ? readFile(errPath) : ""};
        fs::remove(errPath);
        return result;
    }
    std::string ini(std::string_view contents) {
        const fs::path p = mDir / "common.ini";
        writeFile(p, contents);
        return p.string();
    }

    const std::string kTool = (test::binaryDir() / "tools/corvane-ini/corvane-ini").string();
    TempDir mDir;
};

TEST_F(CorvaneIniTool, GetPrintsTheValueAloneOnStandardOutput) {
    const std::string path = ini("[a]\nk=1\n[product]\nversion=1.0.0.1\ntoken=x=y\n");
    ToolRun r = run({"get-group", path, "product/version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1.0.0.1\n");
    EXPECT_EQ(r.err, "");

    r = run({"get", path, "k"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1\n");

    r = run({"get", path, "token"});
    EXPECT_EQ(r.out, "x=y\n");

    r = run({"get-group", path, "product/missing", "fallback"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "fallback\n");

    r = run({"get-group", path, "product/missing"});
    EXPECT_EQ(r.out, "\n");
}

TEST_F(CorvaneIniTool, LibraryLinesGoToStandardError) {
    const std::string missing = (mDir / "missing.ini").string();
    ToolRun r = run({"get-group", missing, "product/version", "none"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "none\n");
    EXPECT_EQ(r.err, "Failed to read the file\n");

    r = run({"get-group", missing, "a/b/c", "none"});
    EXPECT_EQ(r.out, "none\n");
    EXPECT_EQ(r.err, "Invalid format for groupName/key\n");

    r = run({"get", missing, "k", "none"});
    EXPECT_EQ(r.out, "none\n");
    EXPECT_EQ(r.err, "Error reading file: " + missing + ": No such file or directory\n");
}

TEST_F(CorvaneIniTool, SetWritesAndReportsByExitStatus) {
    const std::string path = ini("[product]\r\nversion=1.0\r\n");
    ToolRun r = run({"set", path, "product/tid1", "7"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "File updated successfully\n");
    EXPECT_EQ(readFile(path), "[product]\nversion=1.0\n\ntid1=7");

    const std::string missing = (mDir / "missing.ini").string();
    r = run({"set", missing, "product/tid1", "7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to read the file\n");
    EXPECT_FALSE(fs::exists(missing));

    r = run({"set", path, "product/tid1", "7\n[x]"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Refused a value with a line break for product/tid1\n");

    r = run({"set", path, "tid1", "7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(path), "[product]\nversion=1.0\n\ntid1=7");
}

// Each writer holds the lock from its read to its rename, so no writer starts from a text that
// another is about to replace: 30 writers at once keep all 30 keys.
TEST_F(CorvaneIniTool, ParallelWritersKeepEveryKey) {
    const std::string path = ini("[product]\nversion=1.0\n");
    const platform::ProcessResult r = platform::runProcess(
        "/bin/sh", {"-c",
                    "i=0; while [ $i -lt 30 ]; do i=$((i+1));"
                    " { \"$0\" set \"$1\" product/key$i value$i 2>/dev/null || echo failed $i; } &"
                    " done; wait",
                    kTool, path});
    ASSERT_TRUE(r.succeeded());
    EXPECT_EQ(r.output, "");
    for (int i = 1; i <= 30; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(RegEditer::getIniValueWithGroup("product/key" + std::to_string(i), "", path),
                  "value" + std::to_string(i));
    }
    EXPECT_EQ(RegEditer::getIniValueWithGroup("product/version", "", path), "1.0");
}

TEST_F(CorvaneIniTool, WrongUsageExitsTwoWithUsage) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"get", "f"}, {"set", "f", "a/b"}, {"get", "f", "k", "d", "x"}}) {
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: corvane-ini get FILE KEY [DEFAULT]"), std::string::npos);
    }
    const ToolRun help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("corvane-ini set FILE GROUP/KEY VALUE"), std::string::npos);
}

}  // namespace
}  // namespace corvane
