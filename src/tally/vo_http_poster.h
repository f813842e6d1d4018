#pragma once
// The telemetry transport: posts one encoded batch to a collection server and reports the
// outcome on the main thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvane::platform {
struct CurlLibrary;
}

namespace tally {

// Why a post failed. The domain is always "post failed".
struct PostError {
    static constexpr int kTransport = 1;  // the request ended with an error or without an answer
    static constexpr int kRejected = 2;   // the server answered without "result=1"

    std::string domain = "post failed";
    int code = kTransport;
};

class VoHttpPoster {
  public:
    using Resolve = std::function<void()>;
    using Reject = std::function<void(const PostError&)>;

    static constexpr std::chrono::milliseconds kDefaultTimeout = std::chrono::seconds(60);

    // Starts the serial queue "VoTallyQueue" (one worker thread of that name). `timeout` bounds
    // each request from its start to its last answer byte.
    explicit VoHttpPoster(std::chrono::milliseconds timeout = kDefaultTimeout);
    // Stops the queue and joins its worker. Requests still queued or in flight are abandoned and
    // their callbacks are never called. Returns promptly even while a server is not answering.
    ~VoHttpPoster();
    VoHttpPoster(const VoHttpPoster&) = delete;
    VoHttpPoster& operator=(const VoHttpPoster&) = delete;

    // Queues one POST of `data` to `url` (or to mDebugURL when set) and returns at once. Exactly
    // one callback runs later on the main thread (corvane::platform::postToMain): `resolve` when
    // the answer's text contains "result=1" whatever the status, else `reject` with code 2 (a body
    // that is not ASCII counts as the empty text), or code 1 when the request failed or the URL
    // cannot be used (or libcurl cannot be loaded: the worker opens it at the first post). Requests
    // are started in the order they were queued; their answers may come in any order. Callable from
    // any thread.
    void post(const std::string& url, std::vector<uint8_t> data, Resolve resolve, Reject reject);

    // Blocks the calling thread until every post queued so far has been answered at the
    // transport level (its callback has been handed to the main queue) or until `bound` passes.
    // Does not need the main loop to run. Returns true when nothing is in flight any more.
    [[nodiscard]] bool waitUntilIdle(std::chrono::milliseconds bound);

    // Posts queued or in flight right now.
    [[nodiscard]] size_t inFlight() const;

    // When present, every later post goes to this URL instead of the caller's. Set it on the
    // thread that posts.
    std::optional<std::string> mDebugURL;

  private:
    struct Transfer;
    void run();
    void finish(Transfer& transfer, bool transportOk);
    void wakeQueue();  // with mMutex held

    const std::chrono::milliseconds mTimeout;
    // The worker opens libcurl and makes the multi handle at the first post; both are set and
    // read under mMutex (the wake-up call) and freed by the worker.
    const corvane::platform::CurlLibrary* mCurl = nullptr;
    void* mMulti = nullptr;  // CURLM*

    mutable std::mutex mMutex;
    std::condition_variable mIdle;
    std::condition_variable mWake;  // a post or the end, for a worker without a multi handle
    std::deque<std::unique_ptr<Transfer>> mPending;  // queued, not yet started (under mMutex)
    size_t mInFlight = 0;                            // queued + running (under mMutex)
    bool mStop = false;                              // (under mMutex)

    std::vector<std::unique_ptr<Transfer>> mRunning;  // worker only until joined
    std::thread mQueue;                               // "VoTallyQueue"
};

}  // namespace tally
