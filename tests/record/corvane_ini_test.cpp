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

class CorvaneIniTool : public ::testing::Test {
  protected:
    const std::string kTool = (test::binaryDir() / "tools/corvane-ini/corvane-ini").string();
    test::TempDir mDir;
};

// Values alone on standard output, the library's lines on standard error, and the exit status
// says whether a set was written (1) or the command was wrong (2, with the usage).
TEST_F(CorvaneIniTool, CommandsAnswerOnTheirStreamsAndByExitStatus) {
    const std::string usage =
        "usage: corvane-ini get FILE KEY [DEFAULT]\n"
        "       corvane-ini get-group FILE GROUP/KEY [DEFAULT]\n"
        "       corvane-ini set FILE GROUP/KEY VALUE\n";
    const std::string path = (mDir / "common.ini").string();
    test::writeFile(path, "[a]\nk=1\n[product]\r\nversion=1.0.0.1\r\ntoken=x=y\n");
    const std::string missing = (mDir / "missing.ini").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{"get-group", path, "product/version"}, 0, "1.0.0.1\n", ""},
        {{"get", path, "k"}, 0, "1\n", ""},
        {{"get", path, "token"}, 0, "x=y\n", ""},
        {{"get-group", path, "product/missing", "fallback"}, 0, "fallback\n", ""},
        {{"get-group", path, "product/missing"}, 0, "\n", ""},
        {{"get-group", missing, "product/version", "none"},
         0,
         "none\n",
         "Failed to read the file\n"},
        {{"get-group", missing, "a/b/c", "none"},
         0,
         "none\n",
         "Invalid format for groupName/key\n"},
        {{"get", missing, "k", "none"},
         0,
         "none\n",
         "Error reading file: " + missing + ": No such file or directory\n"},
        {{"set", missing, "product/tid1", "7"}, 1, "", "Failed to read the file\n"},
        {{"set", path, "product/tid1", "7\n[x]"},
         1,
         "",
         "Refused a value with a line break for product/tid1\n"},
        {{"set", path, "tid1", "7"}, 1, "", "Invalid format for groupName/key\n"},
        {{"set", path, "product/tid1", "7"}, 0, "", "File updated successfully\n"},
        {{"--help"}, 0, usage, ""},
        {{}, 2, "", "corvane-ini: missing command\n" + usage},
        {{"frobnicate"}, 2, "", usage},
        {{"get", "f"}, 2, "", usage},
        {{"set", "f", "a/b"}, 2, "", usage},
        {{"get", "f", "k", "d", "x"}, 2, "", usage},
    };
    const std::string errPath = (mDir / "stderr.txt").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        // The runner merges both streams, so a small shell keeps standard error in a file.
        std::vector<std::string> argv{"-c", "err=$1; shift; exec \"$0\" \"$@\" 2>\"$err\"", kTool,
                                      errPath};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const platform::ProcessResult r = platform::runProcess("/bin/sh", argv);
        ASSERT_TRUE(r.started) << r.startError;
        EXPECT_EQ(r.exitStatus, c.status);
        EXPECT_EQ(r.output, c.out);
        const std::string err = readFile(errPath);
        // Wrong usage may say first what was wrong.
        EXPECT_TRUE(c.status == 2 ? err.ends_with(c.err) : err == c.err) << err;
    }
    EXPECT_EQ(readFile(path), "[a]\nk=1\n[product]\nversion=1.0.0.1\ntoken=x=y\n\ntid1=7");
    EXPECT_FALSE(fs::exists(missing));
}

// Each writer holds the lock from its read to its rename, so no writer starts from a text that
// another is about to replace: 30 writers at once keep all 30 keys.
TEST_F(CorvaneIniTool, ParallelWritersKeepEveryKey) {
    const std::string path = (mDir / "common.ini").string();
    test::writeFile(path, "[product]\nversion=1.0\n");
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

}  // namespace
}  // namespace corvane
