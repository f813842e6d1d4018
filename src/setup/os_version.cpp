#include "setup/os_version.h"

#include <charconv>
#include <chrono>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/process.h"
#include "platform/text.h"
#include "setup/reg_editer.h"

namespace corvane {
namespace {

struct VersionState {
    std::mutex mutex;
    std::string text;
    uint8_t main = 0;
    int64_t combined = -1;
};

VersionState& state() {
    static VersionState s;
    return s;
}

// sw_vers answers at once; the bound only keeps a wedged tool from hanging the setup.
constexpr std::chrono::seconds kToolTimeout{20};

std::vector<std::string_view> nonEmptyParts(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find(separator, start);
        if (end == std::string_view::npos) {
            end = s.size();
        }
        if (end > start) {
            parts.push_back(s.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

std::string_view trimmed(std::string_view s) {
    constexpr std::string_view kSpace = " \t\n\r\v\f";
    const size_t first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

// major × 100 + minor, or nothing when the parts do not read as numbers or the result does not
// fit (a version tool that prints nonsense must not overflow the arithmetic).
std::optional<int64_t> combinedVersion(const std::vector<std::string_view>& parts) {
    if (parts.empty()) {
        return std::nullopt;
    }
    const std::optional<int64_t> major = platform::parseDecimalInteger(parts[0]);
    std::optional<int64_t> minor = int64_t{0};
    if (parts.size() >= 2) {
        minor = platform::parseDecimalInteger(parts[1]);
    }
    if (!major || !minor) {
        return std::nullopt;
    }
    int64_t result = 0;
    if (__builtin_mul_overflow(*major, int64_t{100}, &result) ||
        __builtin_add_overflow(result, *minor, &result)) {
        return std::nullopt;
    }
    return result;
}

}  // namespace

std::string MacOSVersion::gStrMacOSVersion() {
    std::lock_guard lock(state().mutex);
    return state().text;
}

uint8_t MacOSVersion::gMainOSVersion() {
    std::lock_guard lock(state().mutex);
    return state().main;
}

int64_t MacOSVersion::gNMacOSVersion() {
    std::lock_guard lock(state().mutex);
    return state().combined;
}

std::string MacOSVersion::getMacOSVersionWithCmd() {
    platform::ProcessOptions options;
    options.timeout = kToolTimeout;
    // The answer is standard output alone: a warning the tool prints on standard error is not
    // part of the version.
    options.output = platform::ProcessOptions::Output::StdoutOnly;
    const platform::ProcessResult r =
        platform::runProcess("/usr/bin/env", {"sw_vers", "-productVersion"}, options);
    if (!r.started) {
        platform::logLine("Failed to get macOS version with error: " + r.startError);
        return {};
    }
    // A tool that failed has no version to give, whatever it printed.
    if (!r.succeeded() || !platform::isValidUtf8(r.output)) {
        return {};
    }
    return std::string(trimmed(r.output));
}

void MacOSVersion::updateOsVersion() {
    const std::string version = getMacOSVersionWithCmd();
    const std::vector<std::string_view> parts = nonEmptyParts(version, '.');

    VersionState& s = state();
    std::unique_lock lock(s.mutex);
    s.main = 0;
    if (!parts.empty()) {
        if (const std::optional<int64_t> major = platform::parseDecimalInteger(parts[0]);
            major && *major >= 0 && *major <= 255) {
            s.main = static_cast<uint8_t>(*major);
        }
    }
    if (const std::optional<int64_t> combined = combinedVersion(parts)) {
        s.combined = *combined;
    }
    if (s.combined < 0) {
        s.combined = 0;
    }
    s.text = version;
    const int64_t combined = s.combined;
    lock.unlock();
    platform::logLine("os_version: " + version + ", main_ver: " + std::to_string(combined));
}

void MacOSVersion::ensureProbed() {
    // One probe per process, even when two threads ask at once.
    static std::mutex probeMutex;
    std::lock_guard probe(probeMutex);
    if (gNMacOSVersion() == -1) {
        updateOsVersion();
    }
}

void MacOSVersion::resetForTesting() {
    std::lock_guard lock(state().mutex);
    state().text.clear();
    state().main = 0;
    state().combined = -1;
}

}  // namespace corvane
