#include "setup/downloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/network_libraries.h"
#include "platform/paths.h"
#include "setup/download_round.h"
#include "setup/partial_record.h"

namespace corvane {
namespace fs = std::filesystem;
namespace {

using platform::logLine;
using Clock = std::chrono::steady_clock;

}  // namespace

void Downloader::removeQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

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

bool Downloader::waitBeforeResume(std::chrono::milliseconds delay) {
    std::unique_lock lock(mFilesMutex);
    return !mWake.wait_for(lock, delay, [this] { return cancelled(); });
}

void Downloader::run(const std::string& url) {
    if (!urlSession->multi) {
        logLine("Download failed: no transfer handle");
        fail();
        return;
    }
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
                const bool usable = request.fd >= 0 && ::fstat(request.fd, &st) == 0 &&
                                    S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                                    ::fchmod(request.fd, 0600) == 0;
                if (usable && record->done && st.st_size <= record->total) {
                    // Written by several connections: the record says what is in place. The
                    // last byte is always asked for again, so that an answer checks the file.
                    request.done = *record->done;
                    request.done.remove(record->total - 1, record->total);
                    request.offset = request.done.missing(record->total).front().first;
                } else if (usable && !record->done && st.st_size > 0 &&
                           st.st_size < record->total) {
                    request.offset = st.st_size;
                    request.done.add(0, st.st_size);
                } else if (request.fd >= 0) {
                    ::close(request.fd);
                    request.fd = -1;
                }
                if (request.fd >= 0) {
                    request.record = std::move(record);
                    logLine("Download resumes at byte " + std::to_string(request.offset));
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

        Outcome outcome = Round(*this, url, request).run();
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
            case Outcome::OneStream:
                continue;  // at most once: the split does not come back in this download
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
                if (mResumes < limits.silentResumes) {
                    const auto delay = limits.backOff * (int64_t{1} << mResumes);
                    ++mResumes;
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
