#include "tally/vo_http_poster.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/main_queue.h"
#include "platform/network_libraries.h"
#include "platform/network_settings.h"
#include "tally/vo_log_util.h"

namespace tally {
namespace {

// An answer longer than this is not a collector's acknowledgement; the transfer is cut off
// rather than letting a misbehaving server fill memory.
constexpr size_t kMaxAnswerBytes = 1 << 20;

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void nameThisThread(const char* name) {
#ifdef __APPLE__
    pthread_setname_np(name);
#else
    pthread_setname_np(pthread_self(), name);
#endif
}

}  // namespace

struct VoHttpPoster::Transfer {
    std::string url;
    std::vector<uint8_t> body;
    Resolve resolve;
    Reject reject;

    const corvane::platform::CurlLibrary* curl = nullptr;  // set by prepare()
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string answer;

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        if (curl == nullptr) {
            return;
        }
        if (easy != nullptr) {
            curl->easy_cleanup(easy);
        }
        curl->slist_free_all(headers);
    }

    static size_t onData(char* data, size_t size, size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        const size_t n = size * count;
        if (t->answer.size() + n > kMaxAnswerBytes) {
            return 0;  // aborts the transfer: a transport failure
        }
        t->answer.append(data, n);
        return n;
    }

    // Prepares the request; false when libcurl cannot even make a handle for it.
    bool prepare(const corvane::platform::CurlLibrary& library, long timeoutMs) {
        curl = &library;
        easy = curl->easy_init();
        if (easy == nullptr) {
            return false;
        }
        for (const char* h : {"Content-Type: application/x-www-form-urlencoded",
                              "User-Agent: Mozilla/5.0", "X-Cf-Platform: pc", "X-Cf-Device-Id: 1",
                              // The batch goes out at once; no "100 Continue" round trip.
                              "Expect:"}) {
            curl_slist* next = curl->slist_append(headers, h);
            if (next == nullptr) {
                return false;
            }
            headers = next;
        }
        static const char kEmpty[] = "";
        const void* bodyPtr = body.empty() ? static_cast<const void*>(kEmpty) : body.data();
        curl->easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl->easy_setopt(easy, CURLOPT_POST, 1L);
        curl->easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl->easy_setopt(easy, CURLOPT_POSTFIELDS, bodyPtr);
        curl->easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl->easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);
        curl->easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        // Only web addresses: a control file must not turn a post into a file or mail transfer.
        curl->easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl->easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl->easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        // The proxy and the trusted roots the machine is set up with (System Settings on a Mac).
        corvane::platform::applySystemNetworkSettings(easy, url);
#if LIBCURL_VERSION_NUM >= 0x075700
        // Leave a name lookup that is still running behind instead of waiting for it when the
        // poster shuts down.
        curl->easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
#endif
        curl->easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onData);
        curl->easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl->easy_setopt(easy, CURLOPT_PRIVATE, this);
        return true;
    }
};

VoHttpPoster::VoHttpPoster(std::chrono::milliseconds timeout) : mTimeout(timeout) {
    // libcurl is opened by the worker when the first post comes, not here: the poster is made
    // while the program starts, and opening it then held back the window's first frame.
    mQueue = std::thread([this] { run(); });
}

VoHttpPoster::~VoHttpPoster() {
    {
        std::lock_guard lock(mMutex);
        mStop = true;
        wakeQueue();
    }
    mWake.notify_all();
    if (mQueue.joinable()) {
        mQueue.join();
    }
    // Abandoned posts: their callbacks are dropped here, on the owner's thread.
    mRunning.clear();
    mPending.clear();
}

void VoHttpPoster::post(const std::string& url, std::vector<uint8_t> data, Resolve resolve,
                        Reject reject) {
    auto transfer = std::make_unique<Transfer>();
    transfer->url = mDebugURL.value_or(url);
    transfer->body = std::move(data);
    transfer->resolve = std::move(resolve);
    transfer->reject = std::move(reject);
    {
        std::lock_guard lock(mMutex);
        mPending.push_back(std::move(transfer));
        ++mInFlight;
        wakeQueue();
    }
    mWake.notify_all();
}

void VoHttpPoster::wakeQueue() {
    // Under mMutex: the worker publishes and withdraws the handle under it, so it is alive here.
    if (mMulti != nullptr) {
        mCurl->multi_wakeup(mMulti);
    }
}

bool VoHttpPoster::waitUntilIdle(std::chrono::milliseconds bound) {
    std::unique_lock lock(mMutex);
    return mIdle.wait_for(lock, bound, [this] { return mInFlight == 0; });
}

size_t VoHttpPoster::inFlight() const {
    std::lock_guard lock(mMutex);
    return mInFlight;
}

void VoHttpPoster::finish(Transfer& transfer, bool transportOk) {
    std::function<void()> callback;
    if (!transportOk) {
        // Both callbacks travel to the main thread, so whatever they hold is released there.
        callback = [resolve = std::move(transfer.resolve), reject = std::move(transfer.reject)] {
            (void)resolve;
            if (reject) {
                reject(PostError{"post failed", PostError::kTransport});
            }
        };
    } else {
        std::string text = isAscii(transfer.answer) ? std::move(transfer.answer) : std::string();
        callback = [url = transfer.url, text = std::move(text),
                    resolve = std::move(transfer.resolve), reject = std::move(transfer.reject)] {
            VoLogUtil::d("postData => url['" + url + "'] response['" + text + "']");
            if (text.find("result=1") != std::string::npos) {
                if (resolve) {
                    resolve();
                }
            } else if (reject) {
                reject(PostError{"post failed", PostError::kRejected});
            }
        };
    }
    // Hand the outcome to the main queue first, so a waiter that sees nothing in flight knows
    // every callback is already queued there.
    corvane::platform::postToMain(std::move(callback));
    {
        std::lock_guard lock(mMutex);
        --mInFlight;
    }
    mIdle.notify_all();
}

void VoHttpPoster::run() {
    nameThisThread("VoTallyQueue");
    const corvane::platform::CurlLibrary* curl = nullptr;
    CURLM* multi = nullptr;
    bool opened = false;
    const long timeoutMs = static_cast<long>(mTimeout.count());
    for (;;) {
        std::deque<std::unique_ptr<Transfer>> starting;
        {
            std::unique_lock lock(mMutex);
            if (multi == nullptr) {
                // Nothing runs yet (or nothing can): sleep until a post or the end comes.
                mWake.wait(lock, [this] { return mStop || !mPending.empty(); });
            }
            if (mStop) {
                break;
            }
            starting.swap(mPending);
        }
        if (!opened) {
            opened = true;
            curl = corvane::platform::curlLibrary();  // logs why when it is missing
            multi = curl ? curl->multi_init() : nullptr;
            std::lock_guard lock(mMutex);
            mCurl = curl;
            mMulti = multi;
        }
        // Start in queue order; the requests then run side by side.
        for (auto& t : starting) {
            if (multi == nullptr || !t->prepare(*curl, timeoutMs) ||
                curl->multi_add_handle(multi, t->easy) != CURLM_OK) {
                finish(*t, false);
                continue;
            }
            mRunning.push_back(std::move(t));
        }
        if (multi == nullptr) {
            continue;
        }
        int running = 0;
        curl->multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl->multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) {
                continue;
            }
            CURL* easy = msg->easy_handle;
            const CURLcode result = msg->data.result;
            curl->multi_remove_handle(multi, easy);
            const auto it = std::find_if(mRunning.begin(), mRunning.end(),
                                         [easy](const auto& t) { return t->easy == easy; });
            if (it == mRunning.end()) {
                continue;
            }
            std::unique_ptr<Transfer> done = std::move(*it);
            mRunning.erase(it);
            finish(*done, result == CURLE_OK);
        }
        curl->multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    if (multi != nullptr) {
        for (auto& t : mRunning) {
            curl->multi_remove_handle(multi, t->easy);
        }
        {
            std::lock_guard lock(mMutex);
            mMulti = nullptr;
        }
        curl->multi_cleanup(multi);
    }
}

}  // namespace tally
