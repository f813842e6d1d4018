#include "platform/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

// What the file keeps of earlier runs, and how much one run may add: a support engineer needs the
// last few setups, not a file that grows for ever.
constexpr size_t kKeptBytes = size_t{1} << 20;
constexpr size_t kRunBytes = size_t{4} << 20;

struct LogState {
    std::mutex mutex;
    LogSink sink;
    UniqueFd file;
    size_t fileBytes = 0;  // written by this run
};

LogState& state() {
    static LogState s;
    return s;
}

// "2026-12-06 21:46:00.123 +0100": local time, as a user or support engineer reads it, with the
// offset so runs from different zones still sort.
std::string timeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return "0000-00-00 00:00:00.000 +0000";
    }
    char date[32];
    char zone[16];
    if (std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local) == 0 ||
        std::strftime(zone, sizeof zone, "%z", &local) == 0) {
        return "0000-00-00 00:00:00.000 +0000";
    }
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03d %s", date, static_cast<int>(millis), zone);
    return out;
}

// One file line per logged line: the time stamp, then the text; a line break inside the text
// continues on a tab-indented line, so no logged text can pass for the start of a run.
std::string fileLine(std::string_view line) {
    std::string out = timeStamp();
    out.reserve(out.size() + line.size() + 2);
    out += ' ';
    for (const char c : line) {
        if (c == '\r') {
            continue;
        }
        out += c;
        if (c == '\n') {
            out += '\t';
        }
    }
    out += '\n';
    return out;
}

// The earlier runs worth keeping from the file's current text: whole runs only, the last
// `keepRuns`, then fewer while they exceed kKeptBytes.
std::string keptRuns(const std::string& text, size_t keepRuns) {
    std::vector<std::string_view> runs;
    std::string_view rest(text);
    size_t pos = 0;
    while (pos < rest.size()) {
        const size_t eol = rest.find('\n', pos);
        const size_t next = eol == std::string_view::npos ? rest.size() : eol + 1;
        if (rest.substr(pos).starts_with(kLogRunMarker)) {
            runs.emplace_back(rest.substr(pos, 0));
        }
        if (!runs.empty()) {
            const char* begin = runs.back().data();
            runs.back() = std::string_view(begin, static_cast<size_t>(rest.data() + next - begin));
        }
        pos = next;
    }
    if (runs.size() > keepRuns) {
        runs.erase(runs.begin(), runs.end() - static_cast<std::ptrdiff_t>(keepRuns));
    }
    size_t total = 0;
    for (const auto& r : runs) {
        total += r.size();
    }
    while (!runs.empty() && total > kKeptBytes) {
        total -= runs.front().size();
        runs.erase(runs.begin());
    }
    std::string kept;
    kept.reserve(total + 1);
    for (const auto& r : runs) {
        kept.append(r);
        if (!kept.ends_with('\n')) {
            kept += '\n';  // a run cut short by a crash mid-write
        }
    }
    return kept;
}

// The file's last few MiB: enough for every run it may keep, however large it has grown.
std::string readTail(const std::string& path) {
    const UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (in.get() < 0) {
        return {};
    }
    const off_t window = static_cast<off_t>(kKeptBytes + kRunBytes);
    const off_t size = ::lseek(in.get(), 0, SEEK_END);
    if (size < 0 || ::lseek(in.get(), size > window ? size - window : 0, SEEK_SET) < 0) {
        return {};
    }
    std::string text;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

}  // namespace

void logLine(std::string_view line) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.sink) {
        s.sink(line);
    } else {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (s.file.get() < 0 || s.fileBytes >= kRunBytes) {
        return;
    }
    std::string text = fileLine(line);
    s.fileBytes += text.size();
    if (s.fileBytes >= kRunBytes) {
        text = timeStamp() + " (the log of this run is full; later lines are not kept)\n";
    }
    // A full disk loses log lines, never the setup.
    static_cast<void>(writeAll(s.file.get(), text));
}

std::optional<std::string> defaultLogFilePath() {
    const std::string home = homeDirectory();
    if (home.empty() || home == "/") {
        return std::nullopt;
    }
    return home + "/Library/Logs/Corvane/Setup.log";
}

std::string openLogFile(const std::string& path, size_t keepRuns) {
    closeLogFile();
    const fs::path file(path);
    std::error_code ec;
    if (!file.has_filename()) {
        return "not a file name: " + path;
    }
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path(), ec);
        if (ec) {
            return file.parent_path().string() + ": " + ec.message();
        }
    }
    // Trimming writes a new file and renames it over the old one: a crash midway leaves the old
    // log whole, and the new file is 0600 whatever mode the old one had.
    std::string text = keptRuns(readTail(path), keepRuns > 0 ? keepRuns - 1 : 0);
    text +=
        std::string(kLogRunMarker) + timeStamp() + " (pid " + std::to_string(::getpid()) + ")\n";
    const std::string temporary = path + ".new";
    {
        UniqueFd out(::open(temporary.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                            S_IRUSR | S_IWUSR));
        if (out.get() < 0) {
            return errnoText(temporary, errno);
        }
        if (::fchmod(out.get(), S_IRUSR | S_IWUSR) != 0 || !writeAll(out.get(), text)) {
            const int error = errno;
            ::unlink(temporary.c_str());
            return errnoText(temporary, error);
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return errnoText(path, error);
    }
    UniqueFd appended(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    if (appended.get() < 0) {
        return errnoText(path, errno);
    }
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.file = std::move(appended);
    s.fileBytes = 0;
    return {};
}

void closeLogFile() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.file.reset();
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
