#pragma once
// The setup's plain log: one line per call, on standard output unless a sink is installed.
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform {

using LogSink = std::function<void(std::string_view line)>;

// Writes `line` and a line feed to the current sink (standard output by default, flushed at once
// so the order with child processes' output is kept). Safe from any thread.
void logLine(std::string_view line);

// Installs `sink` (an empty function restores standard output) and returns the previous sink.
LogSink setLogSink(LogSink sink);

// Where the program keeps its log for support: HOME/Library/Logs/Corvane/Setup.log (the real
// home on macOS, $HOME under the simulated root). Absent without a home folder.
[[nodiscard]] std::optional<std::string> defaultLogFilePath();

// From now on, also appends every line given to logLine() (whatever the sink) to the file at
// `path`, each after a local time stamp ("2026-12-06 21:46:00.123 +0100 "), a line break inside a
// line continuing on a tab-indented line. Creates the missing folders and the file with mode
// 0600, and starts a run with a line of its own beginning with kLogRunMarker; of the runs already
// in the file it keeps the last `keepRuns - 1` (older runs, text before the first run and runs
// beyond about 1 MiB in all are dropped; a run stops being written after about 4 MiB). An earlier
// open file is closed first. Returns an empty string on success, else why the file could not be
// used, in which case lines go on to the sink only and nothing else changes. Safe from any thread.
[[nodiscard]] std::string openLogFile(const std::string& path, size_t keepRuns = 5);

// Stops appending to the log file (nothing when none is open). Safe from any thread.
void closeLogFile();

// Starts every run's first line in the log file.
inline constexpr std::string_view kLogRunMarker = "==== Corvane Setup ";

// Lines collected from any thread: the store behind the log captures of tests and tools.
class LineCollector {
  public:
    void add(std::string_view line);
    [[nodiscard]] std::vector<std::string> lines() const;
    // True when some line equals `line` exactly.
    [[nodiscard]] bool contains(std::string_view line) const;
    // True when some line starts with `prefix`.
    [[nodiscard]] bool containsPrefix(std::string_view prefix) const;
    void clear();

  private:
    mutable std::mutex mMutex;
    std::vector<std::string> mLines;
};

// Collects every plain line written while it lives; restores the previous sink on destruction.
class ScopedLogCapture : public LineCollector {
  public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  private:
    LogSink mPrevious;
};

}  // namespace corvane::platform
