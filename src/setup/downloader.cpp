#include "setup/downloader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/network_settings.h"
#include "platform/paths.h"

namespace corvane {
namespace fs = std::filesystem;
namespace {

using platform::logLine;
using Clock = std::chrono::steady_clock;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

// A private file for the body, in the temporary folder so the final move is a rename.
struct TempFile {
    std::string path;
    int fd = -1;

    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        closeFd();
        if (!path.empty()) {
            std::error_code ec;
            fs::remove(path, ec);
        }
    }
    bool create(std::string& error) {
        std::string tmpl = platform::temporaryDirectory() + "/CFNetworkDownload_XXXXXX.tmp";
        fd = ::mkostemps(tmpl.data(), 4, O_CLOEXEC);
        if (fd < 0) {
            error = std::strerror(errno);
            return false;
        }
        path = tmpl;
        return true;
    }
    bool closeFd() {
        if (fd < 0) {
            return true;
        }
        const int rc = ::close(fd);
        fd = -1;
        return rc == 0;
    }
    // Taken over by the final move: nothing left to remove.
    void release() { path.clear(); }
    // Closes and removes the file now, before anyone is told that the download failed.
    void discard() {
        closeFd();
        if (!path.empty()) {
            std::error_code ec;
            fs::remove(path, ec);
            path.clear();
        }
    }
};

}  // namespace

struct Downloader::CurlHandle {
    CURL* easy = nullptr;
    CurlHandle() : easy(curl_easy_init()) {}
    ~CurlHandle() {
        if (easy) {
            curl_easy_cleanup(easy);
        }
    }
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
};

// What the worker knows about the running transfer.
struct Downloader::Transfer {
    Downloader* owner = nullptr;
    int fd = -1;
    int writeErrno = 0;
    int64_t written = 0;
    int64_t postedWritten = 0;
    int64_t expected = -1;
    Clock::time_point lastPost{};
    std::optional<std::string> contentDisposition;

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        const size_t total = size * count;
        size_t done = 0;
        while (done < total) {
            const ssize_t n = ::write(t->fd, data + done, total - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                t->writeErrno = errno;
                return 0;  // ends the transfer with a write error
            }
            done += static_cast<size_t>(n);
        }
        t->written += static_cast<int64_t>(total);
        if (t->expected < 0) {
            curl_off_t length = -1;
            if (curl_easy_getinfo(t->owner->urlSession->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                                  &length) == CURLE_OK &&
                length > 0) {
                t->expected = static_cast<int64_t>(length);
            }
        }
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
        if (startsWithNoCase(line, "HTTP/")) {
            // A new response (after a redirect): only the last one's headers count.
            t->contentDisposition.reset();
        } else if (startsWithNoCase(line, "content-disposition:")) {
            const std::string_view value =
                trim(line.substr(std::string_view("content-disposition:").size()));
            if (!value.empty()) {
                t->contentDisposition = std::string(value);
            }
        }
        return total;
    }

    void flushProgress(Clock::time_point now) {
        if (expected <= 0 || written == postedWritten) {
            return;
        }
        owner->postProgress(written - postedWritten, written, expected);
        postedWritten = written;
        lastPost = now;
    }
};

Downloader::Downloader() {
    initCurlOnce();
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

void Downloader::fail() {
    if (onDownloadFailed) {
        onDownloadFailed();
    }
}

void Downloader::postProgress(int64_t step, int64_t written, int64_t expected) {
    platform::postToMain([self = shared_from_this(), step, written, expected] {
        self->applyProgress(step, written, expected);
    });
}

void Downloader::applyProgress(int64_t step, int64_t written, int64_t expected) {
    mDownloadProgress = static_cast<float>(written) / static_cast<float>(expected);
    mDownloadedBytes += step;
    if (startTime) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - *startTime).count();
        mEstimatedTimeRemaining =
            estimateSecondsRemaining(mDownloadedBytes, elapsed, written, expected);
    }
    if (onProgress) {
        onProgress(toWholeMiB(written), toWholeMiB(expected),
                   mEstimatedTimeRemaining.value_or(0.0));
    }
}

void Downloader::run(const std::string& url) {
    CURL* easy = urlSession->easy;
    TempFile file;
    std::string error;
    if (!easy) {
        logLine("Download failed: no transfer handle");
        fail();
        return;
    }
    if (!file.create(error)) {
        logLine("Error creating temporary file: " + error);
        fail();
        return;
    }

    Transfer t;
    t.owner = this;
    t.fd = file.fd;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const auto bundle = platform::extraCaBundle()) {
        // Replaces only the CA file; the system's certificate folder is still searched.
        curl_easy_setopt(easy, CURLOPT_CAINFO, bundle->c_str());
    }
    // The proxy and the trusted roots the machine is set up with (System Settings on a Mac).
    platform::applySystemNetworkSettings(easy, url);
    // Like the platform's defaults: give up on a connection that does not open within a minute
    // or stalls for a minute, never on a long but moving download.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 60L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "CorvaneSetup/1.0");

    const CURLcode rc = curl_easy_perform(easy);
    const bool closed = file.closeFd();
    if (rc != CURLE_OK || !closed) {
        file.discard();
        fail();
        return;
    }
    t.flushProgress(Clock::now());

    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400) {
        logLine("Download failed: HTTP status " + std::to_string(status));
        file.discard();
        fail();
        return;
    }
    if (!dispositionHasText(t.contentDisposition)) {
        logLine("Download failed: the response has no Content-Disposition");
        file.discard();
        fail();
        return;
    }

    const std::string destination = packagePath();
    std::error_code ec;
    if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found) {
        fs::remove_all(destination, ec);
        if (ec) {
            logLine("Error removing existing file: " + ec.message());
        }
    }
    fs::rename(file.path, destination, ec);
    if (ec) {
        logLine("Error moving file: " + ec.message());
        file.discard();
        fail();
        return;
    }
    file.release();
    logLine("File moved successfully to: " + fileURL(destination));
    if (onDownloadSuccess) {
        onDownloadSuccess(destination);
    }
    logLine("Download task completed successfully");
}

}  // namespace corvane
