#pragma once
// The setup's plain log: one line per call, on standard output unless a sink is installed.
#include <functional>
#include <mutex>
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
