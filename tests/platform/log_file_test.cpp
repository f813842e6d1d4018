#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "support/test_support.h"

namespace corvane::platform {
namespace {

using Lines = std::vector<std::string>;

Lines fileLines(const std::filesystem::path& path) {
    Lines lines;
    std::istringstream in(test::readFile(path));
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    return lines;
}

// A log file in a fresh folder, closed however the test ends so no other test appends to it.
struct LogFile : ::testing::Test {
    ~LogFile() override { closeLogFile(); }
    test::TempDir dir;
    std::filesystem::path path = dir / "Library/Logs/Corvane/Setup.log";
    ScopedLogCapture capture;
};

TEST_F(LogFile, AppendsStampedLinesBesideTheSinkInAPrivateFile) {
    test::writeFile(path, "left by an older build\n");
    ::chmod(path.c_str(), 0644);
    ASSERT_EQ(openLogFile(path.string()), "");
    logLine("开始下载");
    logLine("two\nlines");
    closeLogFile();
    logLine("after close");

    EXPECT_EQ(capture.lines(), (Lines{"开始下载", "two\nlines", "after close"}));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777u, 0600u);
    const auto lines = fileLines(path);
    ASSERT_EQ(lines.size(), 4u);  // text before the first run is not a run: dropped
    EXPECT_TRUE(lines[0].starts_with(kLogRunMarker)) << lines[0];
    const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4} )");
    for (const auto& [index, text] : {std::pair{1, "开始下载"}, {2, "two"}}) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(lines[size_t(index)], m, stamp,
                                      std::regex_constants::match_continuous));
        EXPECT_EQ(m.suffix().str(), text);
    }
    EXPECT_EQ(lines[3], "\tlines");
}

TEST_F(LogFile, KeepsOnlyTheLastRuns) {
    for (int run = 1; run <= 7; ++run) {
        ASSERT_EQ(openLogFile(path.string(), 3), "");
        logLine("run " + std::to_string(run));
    }
    closeLogFile();
    Lines kept;
    for (const auto& l : fileLines(path)) {
        kept.push_back(l.starts_with(kLogRunMarker) ? "marker" : l.substr(l.find(" run ") + 1));
    }
    EXPECT_EQ(kept, (Lines{"marker", "run 5", "marker", "run 6", "marker", "run 7"}));
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".new"));
}

// A run that logs without end stops being written after about 4 MiB, saying so once; the sink
// still gets every line.
TEST_F(LogFile, ARunThatFillsItsShareSaysSoOnceAndStopsThere) {
    ASSERT_EQ(openLogFile(path.string()), "");
    const std::string filler(1000, 'x');
    for (int i = 0; i < 5000; ++i) {
        logLine(filler);
    }
    logLine("after the cap");
    closeLogFile();
    EXPECT_EQ(capture.lines().size(), 5001u);
    const auto lines = fileLines(path);
    const auto notices = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.ends_with(" (the log of this run is full; later lines are not kept)");
    });
    EXPECT_EQ(notices, 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("is full"), std::string::npos);
    EXPECT_LE(std::filesystem::file_size(path), (size_t{4} << 20) + 2048);
}

// Earlier runs are kept while they fit in 1 MiB: exactly 1 MiB keeps both, one byte more drops
// the older one whole.
TEST_F(LogFile, EarlierRunsAreKeptUpToOneMebibyte) {
    for (const size_t total : {size_t{1} << 20, (size_t{1} << 20) + 1}) {
        const std::string older = std::string(kLogRunMarker) + "older\n";
        std::string newer = std::string(kLogRunMarker) + "newer\n";
        newer += std::string(total - older.size() - newer.size() - 1, 'x') + "\n";
        std::filesystem::create_directories(path.parent_path());
        test::writeFile(path, older + newer);
        ASSERT_EQ(openLogFile(path.string()), "");
        closeLogFile();
        const auto lines = fileLines(path);
        ASSERT_FALSE(lines.empty());
        const bool olderKept = lines[0] == std::string(kLogRunMarker) + "older";
        EXPECT_EQ(olderKept, total == size_t{1} << 20) << total;
        EXPECT_EQ(lines.size(), olderKept ? 4u : 3u) << total;
    }
}

TEST_F(LogFile, LinesFromManyThreadsStayWhole) {
    ASSERT_EQ(openLogFile(path.string()), "");
    const std::string payload(300, 'x');
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                logLine(payload);
            }
        });
    }
    threads.clear();
    closeLogFile();
    const auto lines = fileLines(path);
    ASSERT_EQ(lines.size(), 401u);
    for (size_t i = 1; i < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].ends_with(" " + payload)) << i;
    }
}

TEST_F(LogFile, AFileThatCannotBeMadeOnlyCostsTheFile) {
    test::writeFile(dir / "Library", "a file where the folder should be");
    EXPECT_NE(openLogFile(path.string()), "");
    logLine("still printed");
    EXPECT_TRUE(capture.contains("still printed"));
}

}  // namespace
}  // namespace corvane::platform
