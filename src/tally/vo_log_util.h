#pragma once
// The telemetry log. Every line is "[VoTally] " + message and goes to the system log and, when
// one is installed, to a sink (tests capture lines with ScopedVoLogCapture; tools may mirror them
// to standard error).
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace tally {

// Receives each written line, prefix included, without a line feed.
using VoLogSink = std::function<void(std::string_view line)>;

class VoLogUtil {
  public:
    // Error: writes "[VoTally] " + message to the system log (LOG_ERR) and to the sink.
    static void e(std::string_view message);
    // Warning: writes "[VoTally] " + message to the system log (LOG_WARNING) and to the sink.
    static void w(std::string_view message);
    // Debug: writes nothing.
    static void d(std::string_view message);

    // Installs `sink` (an empty function removes it) and returns the previous one. The system
    // log is written either way. Safe from any thread; the sink is called under a lock, so it
    // must not log itself.
    static VoLogSink setSink(VoLogSink sink);
};

// Collects every telemetry line written while it lives (on any thread); restores the previous
// sink on destruction.
class ScopedVoLogCapture : public corvane::platform::LineCollector {
  public:
    ScopedVoLogCapture();
    ~ScopedVoLogCapture();
    ScopedVoLogCapture(const ScopedVoLogCapture&) = delete;
    ScopedVoLogCapture& operator=(const ScopedVoLogCapture&) = delete;

  private:
    VoLogSink mPrevious;
};

}  // namespace tally
