#pragma once
// One HTTPS download of the package: progress with a remaining-time estimate, and then either
// the path of "package.dmg" in the user's temporary folder or a failure.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace corvane {

// One instance per attempt, owned by a std::shared_ptr (std::make_shared<Downloader>()): once
// started it keeps itself alive until its transfer has ended and every progress report has
// been delivered, so the caller need not hold it.
//
// Threads: startDownload() on the caller's thread (the main thread in the setup). The transfer
// runs on a worker thread of its own, the "delegate queue": onDownloadSuccess and
// onDownloadFailed are called there, at most one of them, once (exactly one unless cancel()
// came first). onProgress runs on the main thread (platform::postToMain), after
// downloadProgress(), downloadedBytes() and estimatedTimeRemaining() have been updated; it is
// coalesced to at most one call per kProgressInterval (plus a last one with the final totals),
// and skipped while the server has not told the size.
//
// The body is streamed to the partial file partialPath() (mode 0600) in the temporary folder,
// so memory does not grow with the package. With the server's validator (a strong ETag, else
// Last-Modified) the partial file is resumable: its record (validatorPath()) names the address,
// the validator, the total size and, once several connections have written into it, the byte
// ranges that are in place. A transport failure (refused or dropped connection, reset, stall
// beyond limits.stallTime) is retried up to limits.silentResumes times after a short back-off,
// each time asking for what is missing with "Range" and "If-Range"; a later attempt (a new
// instance, "重试") resumes the same way. A 206 continues the file; a 200 (no range support, or
// a changed validator), a 416 or a 206 that does not fit the file restarts it from zero. An HTTP
// error status fails at once. Resumed or not, the finished file is byte for byte the server's.
//
// Several connections: when the first answer shows "Accept-Ranges: bytes" (or is itself a 206),
// a strong ETag and a size of at least limits.parallelMinimum, and it streams below
// limits.oneStreamFills for limits.splitProbe (more: the link is the limit, not the
// connection, and more connections would only share it), the rest of the file is split
// into slices fetched side by side, at most limits.maxConnections connections in all (a server
// or a path that caps each connection then still fills the user's link). The first answer goes
// on streaming its own slice; every other slice asks for its exact range with "If-Range" and is
// written at its offset into the same partial file. A slice that breaks off is resumed alone
// (counted with the silent resumes of the whole download); a slice answered otherwise than with
// its exact range under the same ETag ends the split: the download goes on in one stream, as
// it does for every file that does not qualify. Progress and the guards count the whole file.
//
// The file is taken as the package only when the last response has a status below 400 and a
// "Content-Disposition" header with text besides "="; it is then moved to packagePath()
// (replacing an earlier one) and onDownloadSuccess gets that path. Guards that end the download
// at once, with the partial file removed: a transfer option that libcurl refuses (an older
// libcurl that would silently ignore the https-only rule), a body beyond its announced size or
// beyond limits.maxBodyBytes, a failed write (logged with the system's reason, e.g. a full disk),
// a missing header, a failed move. After a transport or status failure a resumable partial file
// stays for the next attempt (one without a validator goes); discardPartialFiles() removes it.
//
// TLS peers are always verified (the system's trust store, plus platform::extraCaBundle() on
// Linux); the usual proxy variables are honoured; only https is followed, redirects included.
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

    // Bounds of one download; set before startDownload().
    struct Limits {
        // Largest body accepted, whatever the server announces.
        int64_t maxBodyBytes = int64_t{8} << 30;
        // A transfer that moves less than one byte per second for this long has stalled.
        std::chrono::seconds stallTime{30};
        // Silent resumes after transport failures before onDownloadFailed.
        int silentResumes = 2;
        // Wait before the first silent resume; doubled for the next.
        std::chrono::milliseconds backOff{1000};
        // The smallest file fetched over several connections: below it the extra handshakes
        // cost more than they bring.
        int64_t parallelMinimum = int64_t{8} << 20;
        // Connections one download may hold open at once.
        int maxConnections = 4;
        // The first answer streams alone this long before the rest is split; if it brings
        // oneStreamFills bytes a second or more by then, the link (or the machine) is the limit,
        // not the connection, and more connections would only share it: it stays alone.
        std::chrono::milliseconds splitProbe{300};
        int64_t oneStreamFills = int64_t{32} << 20;
    };
    Limits limits;

    // Logs "Starting download from " + address and starts the transfer; returns at once. Set the
    // callbacks before. An instance downloads once: a second call, or a call on an instance not
    // owned by a shared_ptr, only logs why and calls onDownloadFailed.
    void startDownload(const std::string& from);

    // Any thread: stops the transfer as soon as libcurl lets it (within about a second) and
    // removes the partial file and its record; neither end callback is called afterwards.
    void cancel();

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
    // temporaryDirectory() + "/package.dmg.part" and its record "/package.dmg.part.validator".
    [[nodiscard]] static std::string partialPath();
    [[nodiscard]] static std::string validatorPath();
    // Removes the partial file and its record, if any. Does not stop a running transfer.
    static void discardPartialFiles();
    // "file://" + the path, percent-encoded as in a file URL.
    [[nodiscard]] static std::string fileURL(const std::string& path);

    static constexpr std::chrono::milliseconds kProgressInterval{33};

  private:
    struct Request;
    class Round;
    enum class Outcome;
    void run(const std::string& url);
    [[nodiscard]] bool waitBeforeResume(std::chrono::milliseconds delay);
    void finish();
    void postProgress(int64_t step, int64_t written, int64_t expected,
                      std::chrono::steady_clock::time_point since, int64_t bytesSince);
    void applyProgress(int64_t step, int64_t written, int64_t expected,
                       std::chrono::steady_clock::time_point since, int64_t bytesSince);
    void fail();
    [[nodiscard]] bool cancelled() const { return mCancelled.load(); }
    // Removes a file that may not be there; nothing to report either way.
    static void removeQuietly(const std::string& path);

    struct CurlHandle;
    std::unique_ptr<CurlHandle> urlSession;
    bool mStarted = false;
    // Worker only: silent resumes so far, of whole requests and of single slices alike; and
    // whether a slice was answered in a way that ends the split for this download.
    int mResumes = 0;
    bool mOneStream = false;
    std::atomic<bool> mCancelled{false};
    // Held while the partial file or its record is created, renamed or removed, so that
    // cancel() never races the worker over them.
    std::mutex mFilesMutex;
    std::condition_variable mWake;  // cuts a back-off short on cancel()
    // Written once before the worker starts, read afterwards.
    std::optional<std::chrono::steady_clock::time_point> startTime;
    // Main-thread state.
    float mDownloadProgress = 0.0f;
    std::optional<double> mEstimatedTimeRemaining;
    int64_t mDownloadedBytes = 0;
};

}  // namespace corvane
