#include "platform/log.h"

#include <algorithm>
#include <cstdio>

namespace corvane::platform {
namespace {

struct LogState {
    std::mutex mutex;
    LogSink sink;
};

LogState& state() {
    static LogState s;
    return s;
}

}  // namespace

void logLine(std::string_view line) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.sink) {
        s.sink(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

LogSink setLogSink(LogSink sink) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::swap(s.sink, sink);
    return sink;
}

void LineCollector::add(std::string_view line) {
    std::lock_guard lock(mMutex);
    mLines.emplace_back(line);
}

std::vector<std::string> LineCollector::lines() const {
    std::lock_guard lock(mMutex);
    return mLines;
}

bool LineCollector::contains(std::string_view line) const {
    std::lock_guard lock(mMutex);
    return std::find(mLines.begin(), mLines.end(), line) != mLines.end();
}

bool LineCollector::containsPrefix(std::string_view prefix) const {
    std::lock_guard lock(mMutex);
    return std::any_of(mLines.begin(), mLines.end(),
                       [&](const std::string& l) { return l.starts_with(prefix); });
}

void LineCollector::clear() {
    std::lock_guard lock(mMutex);
    mLines.clear();
}

ScopedLogCapture::ScopedLogCapture() {
    mPrevious = setLogSink([this](std::string_view line) { add(line); });
}

ScopedLogCapture::~ScopedLogCapture() {
    setLogSink(std::move(mPrevious));
}

}  // namespace corvane::platform
