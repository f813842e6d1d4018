#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "support/test_support.h"

namespace corvane::platform {
namespace {

using test::TempDir;

std::vector<std::string> fileLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(test::readFile(path));
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    return lines;
}

unsigned modeOf(const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 0777u;
}

// Closes the file however a test ends, so no other test appends to it.
struct LogFileGuard {
    ~LogFileGuard() { closeLogFile(); }
};

TEST(LogFile, AppendsStampedLinesBesideTheSinkInAPrivateFile) {
    TempDir dir;
    const auto path = dir / "Library/Logs/Corvane/Setup.log";
    test::writeFile(path, "left by an older build\n");
    ::chmod(path.c_str(), 0644);
    ScopedLogCapture capture;
    LogFileGuard guard;
    ASSERT_EQ(openLogFile(path.string()), "");
    logLine("开始下载");
    logLine("two\nlines");
    closeLogFile();
    logLine("after close");

    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"开始下载", "two\nlines", "after close"}));
    EXPECT_EQ(modeOf(path), 0600u);
    const auto lines = fileLines(path);
    ASSERT_EQ(lines.size(), 4u);  // text before the first run is not a run: dropped
    EXPECT_TRUE(lines[0].starts_with(kLogRunMarker)) << lines[0];
    const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4} )");
    for (const auto& [index, text] : {std::pair{1, "开始下载"}, {2, "two"}}) {
        SCOPED_TRACE(index);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(lines[size_t(index)], m, stamp,
                                      std::regex_constants::match_continuous));
        EXPECT_EQ(m.suffix().str(), text);
    }
    EXPECT_EQ(lines[3], "\tlines");
}

TEST(LogFile, KeepsOnlyTheLastRuns) {
    TempDir dir;
    const auto path = dir / "Setup.log";
    LogFileGuard guard;
    ScopedLogCapture capture;
    for (int run = 1; run <= 7; ++run) {
        ASSERT_EQ(openLogFile(path.string(), 3), "");
        logLine("run " + std::to_string(run));
    }
    closeLogFile();
    std::vector<std::string> kept;
    size_t markers = 0;
    for (const auto& l : fileLines(path)) {
        markers += l.starts_with(kLogRunMarker) ? 1u : 0u;
        if (const size_t at = l.find(" run "); at != std::string::npos) {
            kept.push_back(l.substr(at + 1));
        }
    }
    EXPECT_EQ(markers, 3u);
    EXPECT_EQ(kept, (std::vector<std::string>{"run 5", "run 6", "run 7"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "Setup.log.new"));
}

TEST(LogFile, LinesFromManyThreadsStayWhole) {
    TempDir dir;
    const auto path = dir / "Setup.log";
    LogFileGuard guard;
    ScopedLogCapture capture;
    ASSERT_EQ(openLogFile(path.string()), "");
    const std::string payload(300, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                logLine(payload);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    closeLogFile();
    const auto lines = fileLines(path);
    ASSERT_EQ(lines.size(), 401u);
    for (size_t i = 1; i < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].ends_with(" " + payload)) << i;
    }
}

TEST(LogFile, AFileThatCannotBeMadeOnlyCostsTheFile) {
    TempDir dir;
    test::writeFile(dir / "Logs", "a file where the folder should be");
    ScopedLogCapture capture;
    LogFileGuard guard;
    EXPECT_NE(openLogFile((dir / "Logs/Corvane/Setup.log").string()), "");
    logLine("still printed");
    EXPECT_TRUE(capture.contains("still printed"));
}

}  // namespace
}  // namespace corvane::platform
