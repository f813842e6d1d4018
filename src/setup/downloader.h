#pragma once
// One HTTPS download of the package: progress with a remaining-time estimate, and then either
// the path of "package.dmg" in the user's temporary folder or a failure.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

// One instance per attempt, owned by a std::shared_ptr (std::make_shared<Downloader>()): once
// started it keeps itself alive until its transfer has ended and every progress report has
// been delivered, so the caller need not hold it.
//
// Threads: startDownload() on the caller's thread (the main thread in the setup). The transfer
// runs on a worker thread of its own, the "delegate queue": onDownloadSuccess and
// onDownloadFailed are called there, exactly one of them, once. onProgress runs on the main
// thread (platform::postToMain), after downloadProgress(), downloadedBytes() and
// estimatedTimeRemaining() have been updated; it is coalesced to at most one call per
// kProgressInterval (plus a last one with the final totals), and skipped while the server has
// not told the size.
//
// The body is streamed to a private temporary file in the temporary folder, so memory does not
// grow with the package. The file is taken as the package only when the response has a status
// below 400 and a "Content-Disposition" header with text besides "="; it is then moved to
// temporaryDirectory() + "/package.dmg" (replacing an earlier one) and onDownloadSuccess gets
// that path. Anything else (a transfer error, an HTTP error status, a missing header, a failed
// move) removes the temporary file and calls onDownloadFailed. TLS peers are always verified
// (the system's trust store, plus platform::extraCaBundle() on Linux); the usual proxy
// variables are honoured; only https is followed, redirects included.
class Downloader : public std::enable_shared_from_this<Downloader> {
  public:
    // Creates the transfer handle. Use std::make_shared.
    Downloader();
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // (megabytes written, megabytes expected, estimated seconds left); whole MiB, cut toward
    // zero. The estimate may be infinite or not a number on the very first report.
    std::function<void(int64_t, int64_t, double)> onProgress;
    std::function<void(const std::string& path)> onDownloadSuccess;
    std::function<void()> onDownloadFailed;

    // Logs "Starting download from " + address and starts the transfer; returns at once. Set the
    // callbacks before. An instance downloads once: a second call, or a call on an instance not
    // owned by a shared_ptr, only logs why and calls onDownloadFailed.
    void startDownload(const std::string& from);

    // Main thread only.
    [[nodiscard]] float downloadProgress() const { return mDownloadProgress; }
    [[nodiscard]] std::optional<double> estimatedTimeRemaining() const {
        return mEstimatedTimeRemaining;
    }
    [[nodiscard]] int64_t downloadedBytes() const { return mDownloadedBytes; }

    // Bytes as whole MiB: bytes / 1024 / 1024 in double, cut toward zero.
    [[nodiscard]] static int64_t toWholeMiB(int64_t bytes);
    // Seconds left at the average speed so far: (expected - written) / (downloaded / elapsed).
    // Plain IEEE arithmetic: zero elapsed or zero bytes give an infinite or NaN result.
    [[nodiscard]] static double estimateSecondsRemaining(int64_t downloadedBytes,
                                                         double elapsedSeconds,
                                                         int64_t totalWritten,
                                                         int64_t totalExpected);
    // temporaryDirectory() + "/package.dmg".
    [[nodiscard]] static std::string packagePath();
    // "file://" + the path, percent-encoded as in a file URL.
    [[nodiscard]] static std::string fileURL(const std::string& path);

    static constexpr std::chrono::milliseconds kProgressInterval{33};

  private:
    struct Transfer;
    void run(const std::string& url);
    void postProgress(int64_t step, int64_t written, int64_t expected);
    void applyProgress(int64_t step, int64_t written, int64_t expected);
    void fail();

    struct CurlHandle;
    std::unique_ptr<CurlHandle> urlSession;
    bool mStarted = false;
    // Written once before the worker starts, read afterwards.
    std::optional<std::chrono::steady_clock::time_point> startTime;
    // Main-thread state.
    float mDownloadProgress = 0.0f;
    std::optional<double> mEstimatedTimeRemaining;
    int64_t mDownloadedBytes = 0;
};

}  // namespace corvane
