#include "setup/downloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/network_libraries.h"
#include "platform/network_settings.h"
#include "platform/paths.h"

namespace corvane {
namespace fs = std::filesystem;
namespace {

using platform::logLine;
using Clock = std::chrono::steady_clock;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char a = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
        const char b = prefix[i] >= 'A' && prefix[i] <= 'Z'
                           ? static_cast<char>(prefix[i] - 'A' + 'a')
                           : prefix[i];
        if (a != b) {
            return false;
        }
    }
    return true;
}

// The header names the file as an attachment; its pieces around "=" are not used, only that
// there is at least one.
bool dispositionHasText(const std::optional<std::string>& value) {
    if (!value) {
        return false;
    }
    for (const char ch : *value) {
        if (ch != '=') {
            return true;
        }
    }
    return false;
}

bool strongEtag(std::string_view etag) {
    return !etag.empty() && !startsWithNoCase(etag, "W/");
}

// Parses a whole decimal number that fits 63 bits; nothing for anything else.
std::optional<int64_t> parseCount(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        value = value * 10 + (ch - '0');
    }
    return value;
}

// "bytes FIRST-LAST/TOTAL" of a 206 answer.
struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = 0;
};
std::optional<ContentRange> parseContentRange(std::string_view value) {
    value = trim(value);
    if (!startsWithNoCase(value, "bytes ")) {
        return std::nullopt;
    }
    value.remove_prefix(6);
    const size_t dash = value.find('-');
    const size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
        return std::nullopt;
    }
    const auto first = parseCount(value.substr(0, dash));
    const auto last = parseCount(value.substr(dash + 1, slash - dash - 1));
    const auto total = parseCount(value.substr(slash + 1));
    if (!first || !last || !total || *first > *last || *last >= *total) {
        return std::nullopt;
    }
    return ContentRange{*first, *last, *total};
}

// What makes a partial file resumable: the address it came from, the validator the server sent
// with it and the whole size. Kept beside the partial file, private to the user.
struct PartialRecord {
    std::string url;
    std::string validator;  // a strong ETag or a Last-Modified date, sent back as "If-Range"
    int64_t total = 0;

    static std::optional<PartialRecord> load(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            return std::nullopt;
        }
        std::string text;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536) {
            text.append(buffer, static_cast<size_t>(n));
        }
        ::close(fd);
        std::vector<std::string> lines;
        size_t pos = 0;
        while (pos < text.size()) {
            const size_t eol = text.find('\n', pos);
            if (eol == std::string::npos) {
                return std::nullopt;  // cut short: not written whole
            }
            lines.emplace_back(text.substr(pos, eol - pos));
            pos = eol + 1;
        }
        if (lines.size() != 4 || lines[0] != kMagic || lines[2].empty()) {
            return std::nullopt;
        }
        const auto total = parseCount(lines[3]);
        if (!total || *total <= 0) {
            return std::nullopt;
        }
        return PartialRecord{lines[1], lines[2], *total};
    }

    // Written whole or not at all (a temporary file renamed over the record), mode 0600.
    [[nodiscard]] bool save(const std::string& path) const {
        if (url.find('\n') != std::string::npos || validator.find('\n') != std::string::npos) {
            return false;
        }
        const std::string text = std::string(kMagic) + "\n" + url + "\n" + validator + "\n" +
                                 std::to_string(total) + "\n";
        std::string tmpl = path + ".XXXXXX";
        const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        bool ok = ::fchmod(fd, 0600) == 0 &&
                  ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ok = ::close(fd) == 0 && ok;
        ok = ok && ::rename(tmpl.c_str(), path.c_str()) == 0;
        if (!ok) {
            ::unlink(tmpl.c_str());
        }
        return ok;
    }

    static constexpr const char* kMagic = "corvane-partial-download 1";
};

void removeQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

// Transport failures worth another try: the network, the server's connection, a stall.
bool isTransportFailure(CURLcode rc) {
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
            return true;
        default:
            return false;
    }
}

}  // namespace

struct Downloader::CurlHandle {
    const platform::CurlLibrary* curl = platform::curlLibrary();  // nullptr: libcurl is missing
    CURL* easy = curl ? curl->easy_init() : nullptr;
    CurlHandle() = default;
    ~CurlHandle() {
        if (easy) {
            curl->easy_cleanup(easy);
        }
    }
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
};

enum class Downloader::Outcome {
    Done,       // the whole body is in the partial file
    Cancelled,  // cancel() came
    Restart,    // the partial file does not fit the server's answer: start from zero
    Transport,  // connection refused, dropped, reset or stalled: worth a resume
    Failed,     // an HTTP error status or a refused connection setting: the partial file stays
    Guard,      // too large, write error, refused option: the partial file goes
};

// The partial file as one request finds it.
struct Downloader::Request {
    int fd = -1;
    int64_t offset = 0;                   // bytes already in the file, asked for with "Range"
    std::optional<PartialRecord> record;  // set when resuming
    ~Request() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
};

// What the worker knows about the running request.
struct Downloader::Transfer {
    Downloader* owner = nullptr;
    Request* request = nullptr;
    std::string url;
    // The last response's status line and headers (a redirect starts them over).
    long status = 0;
    std::optional<std::string> contentDisposition;
    std::optional<std::string> etag;
    std::optional<std::string> lastModified;
    std::optional<std::string> contentRange;
    std::optional<int64_t> contentLength;
    // Settled at the first byte of the body (or at the end when there is none).
    bool decided = false;
    std::optional<Outcome> stop;  // why the body callback ended the transfer
    int64_t written = 0;          // bytes in the file, from its start
    int64_t expected = -1;        // the whole file's size, when known
    int64_t ceiling = -1;         // what the server announced; more is refused
    int writeErrno = 0;
    int64_t postedWritten = 0;
    Clock::time_point lastPost{};
    Clock::time_point requestStart = Clock::now();
    int64_t requestBytes = 0;
    int64_t postedRequestBytes = 0;

    [[nodiscard]] std::optional<std::string> validator() const {
        if (etag && strongEtag(*etag)) {
            return etag;
        }
        return lastModified;
    }

    // Decides what the answer means for the partial file, once, before any of its body is kept.
    void decide() {
        if (decided) {
            return;
        }
        decided = true;
        Request& r = *request;
        if (status == 416 && r.offset > 0) {
            logLine("Download restarts from zero: the server refused the range");
            stop = Outcome::Restart;
            return;
        }
        if (status >= 400 || status < 200 || status >= 300) {
            stop = Outcome::Failed;
            return;
        }
        const int64_t maxBody = owner->limits.maxBodyBytes;
        if (status == 206 && r.offset > 0 && r.record) {
            const auto range = contentRange ? parseContentRange(*contentRange) : std::nullopt;
            const auto sent = validator();
            if (!range || range->first != r.offset || range->total != r.record->total ||
                range->last + 1 != range->total || (sent && *sent != r.record->validator)) {
                logLine(
                    "Download restarts from zero: the server's range does not fit the "
                    "partial file");
                stop = Outcome::Restart;
                return;
            }
            expected = range->total;
            ceiling = range->total;
            written = r.offset;
        } else {
            if (status == 206) {
                // A range nobody asked for: nothing to put it together with.
                logLine("Download failed: an unrequested partial answer");
                stop = Outcome::Failed;
                return;
            }
            if (r.offset > 0) {
                logLine("Download restarts from zero: the server sent the whole file");
            }
            if (::ftruncate(r.fd, 0) != 0 || ::lseek(r.fd, 0, SEEK_SET) != 0) {
                writeErrno = errno;
                logLine(std::string("Error writing the download: ") + std::strerror(writeErrno));
                stop = Outcome::Guard;
                return;
            }
            r.offset = 0;
            written = 0;
            if (contentLength) {
                expected = *contentLength;
                ceiling = *contentLength;
            }
            // A new record for the new file, or none when the server gives no validator (the
            // file is then not resumable and a resume starts over).
            std::lock_guard lock(owner->mFilesMutex);
            removeQuietly(validatorPath());
            const auto sent = validator();
            if (sent && expected > 0 && !owner->cancelled()) {
                if (!PartialRecord{url, *sent, expected}.save(validatorPath())) {
                    logLine("Could not keep the download resumable: " + validatorPath());
                }
            }
        }
        if (ceiling > maxBody) {
            logLine("Download failed: the package is larger than " + std::to_string(maxBody) +
                    " bytes");
            stop = Outcome::Guard;
        }
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        const size_t total = size * count;
        t->decide();
        if (t->stop) {
            return 0;  // ends the transfer; `stop` says why
        }
        const auto incoming = static_cast<int64_t>(total);
        if (t->ceiling >= 0 && t->written + incoming > t->ceiling) {
            logLine("Download failed: the body is larger than announced (" +
                    std::to_string(t->ceiling) + " bytes)");
            t->stop = Outcome::Guard;
            return 0;
        }
        if (t->written + incoming > t->owner->limits.maxBodyBytes) {
            logLine("Download failed: the body is larger than " +
                    std::to_string(t->owner->limits.maxBodyBytes) + " bytes");
            t->stop = Outcome::Guard;
            return 0;
        }
        size_t done = 0;
        while (done < total) {
            const ssize_t n = ::write(t->request->fd, data + done, total - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                t->writeErrno = errno;
                logLine(std::string("Error writing the download: ") + std::strerror(errno));
                t->stop = Outcome::Guard;
                return 0;
            }
            done += static_cast<size_t>(n);
        }
        t->written += incoming;
        t->requestBytes += incoming;
        const auto now = Clock::now();
        if (t->expected > 0 && now - t->lastPost >= kProgressInterval) {
            t->flushProgress(now);
        }
        return total;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        const size_t total = size * count;
        const std::string_view line(data, total);
        auto value = [&line](std::string_view name) -> std::optional<std::string> {
            if (!startsWithNoCase(line, name)) {
                return std::nullopt;
            }
            return std::string(trim(line.substr(name.size())));
        };
        if (startsWithNoCase(line, "HTTP/")) {
            // A new response (after a redirect): only the last one's headers count.
            const size_t space = line.find(' ');
            const auto code = space == std::string_view::npos
                                  ? std::nullopt
                                  : parseCount(line.substr(space + 1, 3));
            t->status = code ? static_cast<long>(*code) : 0;
            t->contentDisposition.reset();
            t->etag.reset();
            t->lastModified.reset();
            t->contentRange.reset();
            t->contentLength.reset();
        } else if (auto v = value("content-disposition:")) {
            if (!v->empty()) {
                t->contentDisposition = std::move(*v);
            }
        } else if (auto etag = value("etag:")) {
            t->etag = std::move(*etag);
        } else if (auto modified = value("last-modified:")) {
            t->lastModified = std::move(*modified);
        } else if (auto range = value("content-range:")) {
            t->contentRange = std::move(*range);
        } else if (auto length = value("content-length:")) {
            t->contentLength = parseCount(*length);
        }
        return total;
    }

    static int onTick(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Transfer*>(user)->owner->cancelled() ? 1 : 0;
    }

    void flushProgress(Clock::time_point now) {
        if (expected <= 0 || written == postedWritten) {
            return;
        }
        owner->postProgress(requestBytes - postedRequestBytes, written, expected, requestStart,
                            requestBytes);
        postedWritten = written;
        postedRequestBytes = requestBytes;
        lastPost = now;
    }
};

Downloader::Downloader() {
    urlSession = std::make_unique<CurlHandle>();
}

Downloader::~Downloader() = default;

int64_t Downloader::toWholeMiB(int64_t bytes) {
    return static_cast<int64_t>(static_cast<double>(bytes) / 1024.0 / 1024.0);
}

double Downloader::estimateSecondsRemaining(int64_t downloadedBytes, double elapsedSeconds,
                                            int64_t totalWritten, int64_t totalExpected) {
    const double speed = static_cast<double>(downloadedBytes) / elapsedSeconds;
    return static_cast<double>(totalExpected - totalWritten) / speed;
}

std::string Downloader::packagePath() {
    return platform::temporaryDirectory() + "/package.dmg";
}

std::string Downloader::partialPath() {
    return platform::temporaryDirectory() + "/package.dmg.part";
}

std::string Downloader::validatorPath() {
    return platform::temporaryDirectory() + "/package.dmg.part.validator";
}

void Downloader::discardPartialFiles() {
    removeQuietly(partialPath());
    removeQuietly(validatorPath());
}

std::string Downloader::fileURL(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "file://";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::string_view("-._~!$&'()*+,;=:@/").find(ch) != std::string_view::npos;
        if (plain) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

void Downloader::startDownload(const std::string& from) {
    logLine("Starting download from " + from);
    std::shared_ptr<Downloader> self = weak_from_this().lock();
    if (!self) {
        logLine("Download not started: the downloader is not owned by a shared_ptr");
        fail();
        return;
    }
    if (mStarted) {
        logLine("Download not started: this downloader has already been used");
        fail();
        return;
    }
    mStarted = true;
    startTime = Clock::now();
    try {
        std::thread([self, from] { self->run(from); }).detach();
    } catch (const std::system_error& e) {
        logLine(std::string("Download not started: ") + e.what());
        fail();
    }
}

void Downloader::cancel() {
    std::lock_guard lock(mFilesMutex);
    mCancelled = true;
    discardPartialFiles();
    mWake.notify_all();
}

void Downloader::fail() {
    // Whoever cancelled has stopped listening.
    if (onDownloadFailed && !cancelled()) {
        onDownloadFailed();
    }
}

void Downloader::postProgress(int64_t step, int64_t written, int64_t expected,
                              Clock::time_point since, int64_t bytesSince) {
    platform::postToMain([self = shared_from_this(), step, written, expected, since, bytesSince] {
        self->applyProgress(step, written, expected, since, bytesSince);
    });
}

void Downloader::applyProgress(int64_t step, int64_t written, int64_t expected,
                               Clock::time_point since, int64_t bytesSince) {
    mDownloadProgress = static_cast<float>(written) / static_cast<float>(expected);
    mDownloadedBytes += step;
    if (startTime) {
        // The average speed of the running request: after a resume the estimate starts over
        // rather than counting the pause.
        const double elapsed = std::chrono::duration<double>(Clock::now() - since).count();
        mEstimatedTimeRemaining = estimateSecondsRemaining(bytesSince, elapsed, written, expected);
    }
    if (onProgress) {
        onProgress(toWholeMiB(written), toWholeMiB(expected),
                   mEstimatedTimeRemaining.value_or(0.0));
    }
}

bool Downloader::configure(const std::string& url, Transfer& t) {
    const platform::CurlLibrary& curl = *urlSession->curl;
    CURL* easy = urlSession->easy;
    bool ok = true;
    // Every option counts: one that libcurl does not know or refuses (an older libcurl without
    // the protocol lists, say) would leave the download less guarded than it claims to be.
    auto set = [&ok, &curl](CURLcode rc, const char* name) {
        if (ok && rc != CURLE_OK) {
            logLine(std::string("Download failed: the transfer option ") + name +
                    " was refused: " + curl.easy_strerror(rc));
            ok = false;
        }
    };
#define CORVANE_SETOPT(option, value) set(curl.easy_setopt(easy, option, value), #option)
    CORVANE_SETOPT(CURLOPT_URL, url.c_str());
    CORVANE_SETOPT(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    CORVANE_SETOPT(CURLOPT_WRITEDATA, &t);
    CORVANE_SETOPT(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    CORVANE_SETOPT(CURLOPT_HEADERDATA, &t);
    CORVANE_SETOPT(CURLOPT_XFERINFOFUNCTION, &Transfer::onTick);
    CORVANE_SETOPT(CURLOPT_XFERINFODATA, &t);
    CORVANE_SETOPT(CURLOPT_NOPROGRESS, 0L);
    CORVANE_SETOPT(CURLOPT_NOSIGNAL, 1L);
    CORVANE_SETOPT(CURLOPT_FOLLOWLOCATION, 1L);
    CORVANE_SETOPT(CURLOPT_MAXREDIRS, 10L);
    CORVANE_SETOPT(CURLOPT_PROTOCOLS_STR, "https");
    CORVANE_SETOPT(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    CORVANE_SETOPT(CURLOPT_SSL_VERIFYPEER, 1L);
    CORVANE_SETOPT(CURLOPT_SSL_VERIFYHOST, 2L);
    if (const auto bundle = platform::extraCaBundle()) {
        // Replaces only the CA file; the system's certificate folder is still searched.
        CORVANE_SETOPT(CURLOPT_CAINFO, bundle->c_str());
    }
    // The proxy and the trusted roots the machine is set up with (System Settings on a Mac).
    platform::applySystemNetworkSettings(easy, url);
    // Give up on a connection that does not open, or a transfer that stalls, within the stall
    // time; never on a long but moving download.
    const long stall = static_cast<long>(std::max<int64_t>(1, limits.stallTime.count()));
    CORVANE_SETOPT(CURLOPT_CONNECTTIMEOUT, stall);
    CORVANE_SETOPT(CURLOPT_LOW_SPEED_LIMIT, 1L);
    CORVANE_SETOPT(CURLOPT_LOW_SPEED_TIME, stall);
    CORVANE_SETOPT(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
    CORVANE_SETOPT(CURLOPT_BUFFERSIZE, 256L * 1024L);
    CORVANE_SETOPT(CURLOPT_USERAGENT, "CorvaneSetup/1.0");
    // The rest of the file, only if it is still the same file; otherwise the whole of it.
    const std::string range = std::to_string(t.request->offset) + "-";
    CORVANE_SETOPT(CURLOPT_RANGE, t.request->offset > 0 ? range.c_str() : nullptr);
#undef CORVANE_SETOPT
    return ok;
}

Downloader::Outcome Downloader::perform(const std::string& url, Request& request) {
    const platform::CurlLibrary& curl = *urlSession->curl;
    CURL* easy = urlSession->easy;
    Transfer t;
    t.owner = this;
    t.request = &request;
    t.url = url;
    t.written = request.offset;

    curl_slist* headers = nullptr;
    if (request.offset > 0 && request.record) {
        headers = curl.slist_append(nullptr, ("If-Range: " + request.record->validator).c_str());
        if (headers == nullptr) {
            logLine("Download failed: out of memory");
            return Outcome::Guard;
        }
    }
    const std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(headers,
                                                                        curl.slist_free_all);
    if (!configure(url, t) || curl.easy_setopt(easy, CURLOPT_HTTPHEADER, headers) != CURLE_OK) {
        return Outcome::Guard;
    }

    const CURLcode rc = curl.easy_perform(easy);
    if (cancelled()) {
        return Outcome::Cancelled;
    }
    if (t.stop) {
        if (*t.stop == Outcome::Failed && t.status >= 400) {
            logLine("Download failed: HTTP status " + std::to_string(t.status));
        }
        return *t.stop;
    }
    if (rc == CURLE_FILESIZE_EXCEEDED) {
        logLine("Download failed: the package is larger than " +
                std::to_string(limits.maxBodyBytes) + " bytes");
        return Outcome::Guard;
    }
    if (rc != CURLE_OK) {
        logLine(
            std::string(isTransportFailure(rc) ? "Download interrupted: " : "Download failed: ") +
            curl.easy_strerror(rc));
        return isTransportFailure(rc) ? Outcome::Transport : Outcome::Failed;
    }
    t.decide();  // an empty body never reached the body callback
    if (t.stop) {
        if (*t.stop == Outcome::Failed && t.status >= 400) {
            logLine("Download failed: HTTP status " + std::to_string(t.status));
        }
        return *t.stop;
    }
    t.flushProgress(Clock::now());
    if (t.expected >= 0 && t.written != t.expected) {
        logLine("Download interrupted: " + std::to_string(t.written) + " of " +
                std::to_string(t.expected) + " bytes");
        return Outcome::Transport;
    }
    if (!dispositionHasText(t.contentDisposition)) {
        logLine("Download failed: the response has no Content-Disposition");
        return Outcome::Guard;
    }
    return Outcome::Done;
}

bool Downloader::waitBeforeResume(std::chrono::milliseconds delay) {
    std::unique_lock lock(mFilesMutex);
    return !mWake.wait_for(lock, delay, [this] { return cancelled(); });
}

void Downloader::run(const std::string& url) {
    if (!urlSession->easy) {
        logLine("Download failed: no transfer handle");
        fail();
        return;
    }
    int resumes = 0;
    int restarts = 0;
    for (;;) {
        Request request;
        {
            // The partial file of an earlier attempt is taken up only when its record says it
            // came from this address and the file fits it; anything else starts afresh.
            std::lock_guard lock(mFilesMutex);
            if (cancelled()) {
                return;
            }
            const std::string part = partialPath();
            auto record = PartialRecord::load(validatorPath());
            if (record && record->url == url) {
                request.fd = ::open(part.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
                struct stat st {};
                if (request.fd >= 0 && ::fstat(request.fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    st.st_uid == ::geteuid() && st.st_size > 0 && st.st_size < record->total &&
                    ::fchmod(request.fd, 0600) == 0 &&
                    ::lseek(request.fd, st.st_size, SEEK_SET) == st.st_size) {
                    request.offset = st.st_size;
                    request.record = std::move(record);
                    logLine("Download resumes at byte " + std::to_string(request.offset));
                } else if (request.fd >= 0) {
                    ::close(request.fd);
                    request.fd = -1;
                }
            }
            if (request.fd < 0) {
                discardPartialFiles();
                request.fd = ::open(part.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
                if (request.fd < 0) {
                    logLine("Error creating temporary file: " + std::string(std::strerror(errno)));
                    fail();
                    return;
                }
            }
        }

        const Outcome outcome = perform(url, request);
        const bool closed = ::close(request.fd) == 0;
        const int closeErrno = errno;
        request.fd = -1;
        if (outcome == Outcome::Done && !closed) {
            logLine(std::string("Error writing the download: ") + std::strerror(closeErrno));
        }
        switch (closed ? outcome : Outcome::Guard) {
            case Outcome::Done:
                finish();
                return;
            case Outcome::Cancelled:
                return;  // cancel() removed the files
            case Outcome::Restart: {
                std::lock_guard lock(mFilesMutex);
                discardPartialFiles();
            }
                // Bounded: a server that keeps contradicting itself ends as a failure.
                if (++restarts <= 2) {
                    continue;
                }
                logLine("Download failed: the server's answers do not fit together");
                fail();
                return;
            case Outcome::Transport:
                if (resumes < limits.silentResumes) {
                    const auto delay = limits.backOff * (int64_t{1} << resumes);
                    ++resumes;
                    logLine("Download resumes in " + std::to_string(delay.count()) + " ms");
                    if (!waitBeforeResume(delay)) {
                        return;
                    }
                    continue;
                }
                [[fallthrough]];
            case Outcome::Failed: {
                // The partial file stays for "重试" when it can be resumed; otherwise it is
                // of no use.
                std::lock_guard lock(mFilesMutex);
                if (!PartialRecord::load(validatorPath())) {
                    discardPartialFiles();
                }
            }
                fail();
                return;
            case Outcome::Guard: {
                std::lock_guard lock(mFilesMutex);
                discardPartialFiles();
            }
                fail();
                return;
        }
    }
}

void Downloader::finish() {
    const std::string destination = packagePath();
    {
        std::lock_guard lock(mFilesMutex);
        if (cancelled()) {
            return;
        }
        std::error_code ec;
        if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found) {
            fs::remove_all(destination, ec);
            if (ec) {
                logLine("Error removing existing file: " + ec.message());
            }
        }
        fs::rename(partialPath(), destination, ec);
        if (ec) {
            logLine("Error moving file: " + ec.message());
            discardPartialFiles();
            fail();
            return;
        }
        removeQuietly(validatorPath());
    }
    logLine("File moved successfully to: " + fileURL(destination));
    if (onDownloadSuccess) {
        onDownloadSuccess(destination);
    }
    logLine("Download task completed successfully");
}

}  // namespace corvane
