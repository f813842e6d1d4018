#include "tally/vo_log_util.h"

#include <syslog.h>

#include <algorithm>
#include <string>

namespace tally {
namespace {

constexpr std::string_view kPrefix = "[VoTally] ";

struct LogState {
    std::mutex mutex;
    VoLogSink sink;
    std::once_flag opened;
};

LogState& state() {
    static LogState s;
    return s;
}

void writeLine(int priority, std::string_view message) {
    std::string line;
    line.reserve(kPrefix.size() + message.size());
    line.append(kPrefix).append(message);

    auto& s = state();
    // The identity is the program's own name, as the system log shows for NSLog on macOS.
    std::call_once(s.opened, [] { openlog(nullptr, LOG_PID, LOG_USER); });
    // "%s" keeps a message's own percent signs from being read as a format.
    syslog(priority, "%s", line.c_str());

    std::lock_guard lock(s.mutex);
    if (s.sink) {
        s.sink(line);
    }
}

}  // namespace

void VoLogUtil::e(std::string_view message) {
    writeLine(LOG_ERR, message);
}

void VoLogUtil::w(std::string_view message) {
    writeLine(LOG_WARNING, message);
}

void VoLogUtil::d(std::string_view /*message*/) {}

VoLogSink VoLogUtil::setSink(VoLogSink sink) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::swap(s.sink, sink);
    return sink;
}

ScopedVoLogCapture::ScopedVoLogCapture() {
    mPrevious = VoLogUtil::setSink([this](std::string_view line) { add(line); });
}

ScopedVoLogCapture::~ScopedVoLogCapture() {
    VoLogUtil::setSink(std::move(mPrevious));
}

}  // namespace tally
