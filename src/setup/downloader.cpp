#include "setup/downloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/network_libraries.h"
#include "platform/paths.h"
#include "setup/http_response.h"
#include "setup/partial_record.h"
#include "setup/slice_transfer.h"

namespace corvane {
namespace fs = std::filesystem;
namespace {

using platform::logLine;
using Clock = std::chrono::steady_clock;
using Stop = SliceTransfer::Stop;

constexpr int64_t kUnbounded = std::numeric_limits<int64_t>::max();

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
    CURLM* multi = curl ? curl->multi_init() : nullptr;
    CurlHandle() = default;
    ~CurlHandle() {
        if (multi) {
            curl->multi_cleanup(multi);
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
    OneStream,  // a slice's answer ended the split: go on in one stream from the first gap
    Failed,     // an HTTP error status or a refused connection setting: the partial file stays
    Guard,      // too large, write error, refused option: the partial file goes
};

// The partial file as one round of requests finds it.
struct Downloader::Request {
    int fd = -1;
    int64_t offset = 0;                   // the first byte missing, asked for with "Range"
    std::optional<PartialRecord> record;  // set when resuming
    ByteRanges done;                      // what of the file is in place
    ~Request() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
};

// One round of requests on the multi handle: the first one asks for everything from the first
// missing byte on and tells what the file is; when the file qualifies, helpers take slices of
// the rest, and a helper whose slice is done takes half of the largest slice still running.
class Downloader::Round final : public SliceTransfer::Owner {
  public:
    Round(Downloader& owner, const std::string& url, Request& request)
        : mOwner(owner),
          mCurl(*owner.urlSession->curl),
          mMulti(owner.urlSession->multi),
          mUrl(url),
          mRequest(request),
          mLimits(owner.limits),
          mMinSlice(std::max<int64_t>(256 * 1024, owner.limits.parallelMinimum / 8)),
          mRanged(request.record.has_value()) {}
    ~Round() {
        while (!mSlices.empty()) {
            drop(*mSlices.back());
        }
    }
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;

    Outcome run();

    bool accept(SliceTransfer& slice) override {
        return &slice == mPrimary ? acceptFirst(slice) : acceptHelper(slice);
    }
    void wrote(SliceTransfer& slice, int64_t first, int64_t end) override {
        if (&slice == mPrimary && !mFirstByte) {
            mFirstByte = Clock::now();
        }
        mRequest.done.add(first, end);
        mRoundBytes += end - first;
        const auto now = Clock::now();
        if (now - mLastPost >= kProgressInterval) {
            flushProgress(now);
        }
    }
    [[nodiscard]] bool cancelled() const override { return mOwner.cancelled(); }

  private:
    bool acceptFirst(SliceTransfer& s);
    bool acceptHelper(SliceTransfer& s);
    [[nodiscard]] bool add(int64_t first, int64_t end, bool openEnded);
    void drop(SliceTransfer& s);
    void split();
    void fill();
    void oneStream(const std::string& why);
    void ended(SliceTransfer& s, CURLcode rc);
    void interrupted(SliceTransfer& s);
    void saveRanges();
    void flushProgress(Clock::time_point now);
    [[nodiscard]] Outcome settle(Outcome outcome);

    Downloader& mOwner;
    const platform::CurlLibrary& mCurl;
    CURLM* mMulti;
    const std::string& mUrl;
    Request& mRequest;
    const Limits& mLimits;
    const int64_t mMinSlice;
    const bool mRanged;  // the first request resumes a partial file with "Range" and "If-Range"
    std::vector<std::unique_ptr<SliceTransfer>> mSlices;  // on the multi handle
    SliceTransfer* mPrimary = nullptr;                    // while it runs
    // Slices that broke off, to be asked for again once their back-off has passed.
    struct Waiting {
        int64_t first;
        int64_t end;
        Clock::time_point notBefore;
    };
    std::vector<Waiting> mWaiting;
    int64_t mTotal = -1;        // the whole file's size, once known
    bool mQualifies = false;    // the first answer allows slices
    bool mSplit = false;        // slices run (the record names the ranges in place)
    bool mDisposition = false;  // the first answer names an attachment
    std::optional<Outcome> mOutcome;
    // Progress of the round, posted as the sum of every slice.
    Clock::time_point mStart = Clock::now();
    Clock::time_point mLastPost{};
    Clock::time_point mLastSave = Clock::now();
    int64_t mRoundBytes = 0;
    std::optional<Clock::time_point> mFirstByte;  // of the first answer's body
    int64_t mPostedRoundBytes = 0;
    int64_t mPostedDone = -1;
};

bool Downloader::Round::acceptFirst(SliceTransfer& s) {
    const ResponseHeaders& h = s.headers();
    Request& r = mRequest;
    if (h.status == 416 && mRanged) {
        logLine("Download restarts from zero: the server refused the range");
        s.setStop(Stop::Restart);
        return false;
    }
    if (h.status < 200 || h.status >= 300) {
        s.setStop(Stop::Failed);
        return false;
    }
    const auto sent = h.validator();
    if (h.status == 206 && mRanged) {
        const auto range = h.contentRange ? parseContentRange(*h.contentRange) : std::nullopt;
        if (!range || range->first != r.offset || range->total != r.record->total ||
            range->last + 1 != range->total || (sent && *sent != r.record->validator)) {
            logLine(
                "Download restarts from zero: the server's range does not fit the partial file");
            s.setStop(Stop::Restart);
            return false;
        }
        mTotal = range->total;
        // A 206 is itself the proof of range support.
        mQualifies = h.etag && strongEtag(*h.etag) && *h.etag == r.record->validator;
    } else {
        if (h.status == 206) {
            // A range nobody asked for: nothing to put it together with.
            logLine("Download failed: an unrequested partial answer");
            s.setStop(Stop::Failed);
            return false;
        }
        if (mRanged) {
            logLine("Download restarts from zero: the server sent the whole file");
        }
        // Only a file with bytes in it is cut back: on ext4 a truncation to zero marks the
        // file for a flush of everything written before close(), which made a fast download
        // of a fresh file half as slow again and keeps nothing safer.
        struct stat st {};
        if (::fstat(r.fd, &st) != 0 || (st.st_size > 0 && ::ftruncate(r.fd, 0) != 0)) {
            logLine(std::string("Error writing the download: ") + std::strerror(errno));
            s.setStop(Stop::Guard);
            return false;
        }
        r.done = ByteRanges{};
        s.moveTo(0);
        mTotal = h.contentLength ? *h.contentLength : -1;
        // A 200 to a ranged request is an answer to doubt: it gets one stream.
        mQualifies = !mRanged && h.acceptsByteRanges && h.etag && strongEtag(*h.etag);
        r.offset = 0;
        // A new record for the new file, or none when the server gives no validator (the file
        // is then not resumable and a resume starts over).
        std::lock_guard lock(mOwner.mFilesMutex);
        removeQuietly(validatorPath());
        r.record.reset();
        if (sent && mTotal > 0 && !mOwner.cancelled()) {
            r.record = PartialRecord{mUrl, *sent, mTotal, std::nullopt};
            if (!r.record->save(validatorPath())) {
                logLine("Could not keep the download resumable: " + validatorPath());
                r.record.reset();
            }
        }
    }
    if (mTotal > mLimits.maxBodyBytes) {
        logLine("Download failed: the package is larger than " +
                std::to_string(mLimits.maxBodyBytes) + " bytes");
        s.setStop(Stop::Guard);
        return false;
    }
    s.setCeiling(mTotal);
    s.setEnd(mTotal >= 0 ? mTotal : kUnbounded);
    mDisposition = h.dispositionHasText();
    mQualifies = mQualifies && r.record && !mOwner.mOneStream &&
                 mTotal >= mLimits.parallelMinimum && mLimits.maxConnections > 1;
    if (mQualifies) {
        // A file with holes: the first answer keeps to its own gap until the split is decided,
        // rather than fetching again what is in place.
        const auto gaps = r.done.missing(mTotal);
        if (!gaps.empty()) {
            s.setEnd(gaps.front().end);
        }
    }
    return true;
}

bool Downloader::Round::acceptHelper(SliceTransfer& s) {
    if (mOwner.mOneStream) {
        return false;  // the split has ended while this answer was on its way
    }
    const ResponseHeaders& h = s.headers();
    const auto range = h.contentRange ? parseContentRange(*h.contentRange) : std::nullopt;
    const bool fits = range.has_value() && range->first == s.start() &&
                      range->last + 1 == s.askedEnd() && range->total == mTotal;
    std::string why;
    if (h.status == 200) {
        why = "a slice was answered with the whole file";
    } else if (h.status != 206) {
        why = "a slice was answered with HTTP status " + std::to_string(h.status);
    } else if (!h.etag || *h.etag != mRequest.record->validator) {
        why = "a slice came with another validator";
    } else if (!fits) {
        why = "a slice's range does not fit what was asked";
    } else {
        s.setCeiling(s.askedEnd());
        return true;
    }
    // Nothing of this answer is kept; the first answer, still under its own validator, decides.
    oneStream(why);
    return false;
}

bool Downloader::Round::add(int64_t first, int64_t end, bool openEnded) {
    std::optional<std::string> ifRange;
    if (mRequest.record) {
        ifRange = mRequest.record->validator;
    }
    auto slice = std::make_unique<SliceTransfer>(mCurl, *this, mRequest.fd, first, end, openEnded,
                                                 std::move(ifRange));
    if (!slice->configure(mUrl, mLimits)) {
        return false;
    }
    if (const CURLMcode mc = mCurl.multi_add_handle(mMulti, slice->easy()); mc != CURLM_OK) {
        logLine("Download failed: the transfer could not be started (" + std::to_string(mc) + ")");
        return false;
    }
    mSlices.push_back(std::move(slice));
    return true;
}

void Downloader::Round::drop(SliceTransfer& s) {
    mCurl.multi_remove_handle(mMulti, s.easy());
    if (&s == mPrimary) {
        mPrimary = nullptr;
    }
    std::erase_if(mSlices, [&s](const auto& p) { return p.get() == &s; });
}

// The first answer qualified: its slice ends at its gap, and every other gap waits for a helper.
void Downloader::Round::split() {
    Request& r = mRequest;
    const auto gaps = r.done.missing(mTotal);
    if (gaps.empty()) {
        return;
    }
    // Before any slice writes past the first one: from here the file has holes, and only the
    // record can say where.
    r.record->done = r.done;
    {
        std::lock_guard lock(mOwner.mFilesMutex);
        if (mOwner.cancelled() || !r.record->save(validatorPath())) {
            r.record->done.reset();
            mQualifies = false;
            return;
        }
    }
    mSplit = true;
    mLastSave = Clock::now();
    // The first answer's gap in equal parts, one per connection: each helper then asks for
    // exactly its part and keeps its connection to the end of it.
    const auto now = Clock::now();
    for (const auto& gap : gaps) {
        const bool streaming = mPrimary && !mPrimary->stop();
        const int64_t at = streaming ? mPrimary->position() : -1;
        if (gap.first <= at && at < gap.end) {
            const int64_t parts =
                std::clamp<int64_t>((gap.end - at) / mMinSlice, 1, mLimits.maxConnections);
            const int64_t part = (gap.end - at) / parts;
            mPrimary->setEnd(at + part);
            for (int64_t i = 1; i < parts; ++i) {
                mWaiting.push_back(
                    {at + i * part, i + 1 == parts ? gap.end : at + (i + 1) * part, now});
            }
        } else {
            mWaiting.push_back({gap.first, gap.end, now});
        }
    }
    logLine("Download splits into up to " + std::to_string(mLimits.maxConnections) +
            " connections: " + std::to_string(mTotal - r.done.bytes()) + " bytes to fetch");
}

// Keeps every connection busy: a waiting gap first, else half of the largest running slice.
void Downloader::Round::fill() {
    const auto now = Clock::now();
    while (!mOutcome && static_cast<int>(mSlices.size()) < mLimits.maxConnections) {
        auto ready = std::find_if(mWaiting.begin(), mWaiting.end(),
                                  [now](const Waiting& w) { return w.notBefore <= now; });
        if (ready != mWaiting.end()) {
            const Waiting w = *ready;
            mWaiting.erase(ready);
            if (!add(w.first, w.end, false)) {
                mOutcome = Outcome::Guard;
            }
            continue;
        }
        if (static_cast<int>(mSlices.size() + mWaiting.size()) >= mLimits.maxConnections) {
            return;
        }
        SliceTransfer* largest = nullptr;
        for (const auto& s : mSlices) {
            if (!largest || s->end() - s->position() > largest->end() - largest->position()) {
                largest = s.get();
            }
        }
        // A cut connection wastes what it still had on its way: only a large rest is worth it.
        if (!largest ||
            largest->end() - largest->position() < 2 * std::max(mMinSlice, mTotal / 16)) {
            return;
        }
        const int64_t end = largest->end();
        const int64_t middle = largest->position() + (end - largest->position()) / 2;
        largest->setEnd(middle);
        if (!add(middle, end, false)) {
            mOutcome = Outcome::Guard;
        }
    }
}

void Downloader::Round::oneStream(const std::string& why) {
    logLine("Download goes on in one stream: " + why);
    mOwner.mOneStream = true;
    mWaiting.clear();
    // Helpers cannot be removed from inside a callback; ended() and run() take them off.
    for (const auto& s : mSlices) {
        if (s.get() != mPrimary) {
            s->setEnd(s->position());
        }
    }
    if (mPrimary && !mPrimary->stop()) {
        // Its answer covers the rest of the file and goes on over whatever the helpers wrote.
        mPrimary->setEnd(mTotal);
    } else {
        mOutcome = Outcome::OneStream;
    }
}

void Downloader::Round::interrupted(SliceTransfer& s) {
    if (!mSplit || mOwner.mOneStream) {
        mOutcome = Outcome::Transport;
        return;
    }
    // The slice alone is asked for again; the others go on meanwhile.
    if (mOwner.mResumes >= mLimits.silentResumes) {
        mOutcome = Outcome::Transport;
        return;
    }
    const auto delay = mLimits.backOff * (int64_t{1} << mOwner.mResumes);
    ++mOwner.mResumes;
    if (s.position() < s.end()) {
        logLine("Download resumes the slice at byte " + std::to_string(s.position()) + " in " +
                std::to_string(delay.count()) + " ms");
        mWaiting.push_back({s.position(), s.end(), Clock::now() + delay});
    }
}

void Downloader::Round::ended(SliceTransfer& s, CURLcode rc) {
    if (rc == CURLE_OK) {
        s.settle();  // an empty body never reached the body callback
    }
    const bool first = &s == mPrimary;
    const auto stop = s.stop();
    if (stop == Stop::Reached || (stop == Stop::Refused && !first)) {
        return;  // the slice has what it was asked for, or nothing of it was kept
    }
    if (stop) {
        if (stop == Stop::Failed && s.headers().status >= 400) {
            logLine("Download failed: HTTP status " + std::to_string(s.headers().status));
        }
        mOutcome = stop == Stop::Guard     ? Outcome::Guard
                   : stop == Stop::Restart ? Outcome::Restart
                                           : Outcome::Failed;
        return;
    }
    if (rc == CURLE_FILESIZE_EXCEEDED) {
        logLine("Download failed: the package is larger than " +
                std::to_string(mLimits.maxBodyBytes) + " bytes");
        mOutcome = Outcome::Guard;
        return;
    }
    if (rc != CURLE_OK) {
        logLine(
            std::string(isTransportFailure(rc) ? "Download interrupted: " : "Download failed: ") +
            mCurl.easy_strerror(rc));
        if (isTransportFailure(rc)) {
            interrupted(s);
        } else {
            mOutcome = Outcome::Failed;
        }
        return;
    }
    if (s.end() != kUnbounded && s.position() < s.end()) {
        logLine("Download interrupted: " + std::to_string(s.position()) + " of " +
                std::to_string(s.end()) + " bytes");
        interrupted(s);
    }
}

void Downloader::Round::saveRanges() {
    // Only a file that has had holes keeps its ranges: one stream's file says it by its size.
    if (!mRequest.record || !mRequest.record->done) {
        return;
    }
    mRequest.record->done = mRequest.done;
    std::lock_guard lock(mOwner.mFilesMutex);
    if (!mOwner.cancelled()) {
        (void)mRequest.record->save(validatorPath());
    }
    mLastSave = Clock::now();
}

void Downloader::Round::flushProgress(Clock::time_point now) {
    if (mTotal <= 0 || mRequest.done.bytes() == mPostedDone) {
        return;
    }
    mOwner.postProgress(mRoundBytes - mPostedRoundBytes, mRequest.done.bytes(), mTotal, mStart,
                        mRoundBytes);
    mPostedDone = mRequest.done.bytes();
    mPostedRoundBytes = mRoundBytes;
    mLastPost = now;
}

Downloader::Outcome Downloader::Round::settle(Outcome outcome) {
    while (!mSlices.empty()) {
        drop(*mSlices.back());
    }
    if (outcome == Outcome::Cancelled || outcome == Outcome::Guard) {
        return outcome;
    }
    flushProgress(Clock::now());
    saveRanges();
    return outcome;
}

Downloader::Outcome Downloader::Round::run() {
    // Separate connections, not streams of one: a cap per connection, or one TCP window on a
    // long path, is what the slices are there to get around.
    if (mCurl.multi_setopt(mMulti, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING)) !=
            CURLM_OK ||
        mCurl.multi_setopt(mMulti, CURLMOPT_MAX_TOTAL_CONNECTIONS,
                           static_cast<long>(std::max(1, mLimits.maxConnections))) != CURLM_OK) {
        logLine("Download failed: the connection limits were refused");
        return Outcome::Guard;
    }
    if (!add(mRequest.offset, kUnbounded, true)) {
        return settle(Outcome::Guard);
    }
    mPrimary = mSlices.front().get();
    for (;;) {
        if (mOwner.cancelled()) {
            return settle(Outcome::Cancelled);
        }
        int running = 0;
        if (const CURLMcode mc = mCurl.multi_perform(mMulti, &running); mc != CURLM_OK) {
            logLine("Download failed: the transfer broke down (" + std::to_string(mc) + ")");
            return settle(Outcome::Failed);
        }
        int queued = 0;
        while (CURLMsg* msg = mCurl.multi_info_read(mMulti, &queued)) {
            if (msg->msg != CURLMSG_DONE) {
                continue;
            }
            const auto it = std::find_if(mSlices.begin(), mSlices.end(), [msg](const auto& s) {
                return s->easy() == msg->easy_handle;
            });
            if (it == mSlices.end()) {
                continue;
            }
            if (mOwner.cancelled()) {
                return settle(Outcome::Cancelled);  // the end it reports is the cancel's
            }
            SliceTransfer& s = **it;
            ended(s, msg->data.result);
            drop(s);
            if (mOutcome) {
                break;
            }
            saveRanges();
        }
        if (mOwner.cancelled()) {
            return settle(Outcome::Cancelled);
        }
        if (mOutcome) {
            return settle(*mOutcome);
        }
        // Helpers the split's end has left with nothing to fetch.
        for (size_t i = mSlices.size(); i-- > 0;) {
            if (mSlices[i].get() != mPrimary && mSlices[i]->end() <= mSlices[i]->position() &&
                mOwner.mOneStream) {
                drop(*mSlices[i]);
            }
        }
        // Decided after the probe, or at once when the first answer's own gap is done.
        if (mQualifies && !mSplit && !mOwner.mOneStream && mFirstByte &&
            (Clock::now() - *mFirstByte >= mLimits.splitProbe || !mPrimary || mPrimary->stop())) {
            const double seconds =
                std::chrono::duration<double>(Clock::now() - *mFirstByte).count();
            const double rate = static_cast<double>(mRoundBytes) / seconds;
            if (rate >= static_cast<double>(mLimits.oneStreamFills) && mPrimary &&
                !mPrimary->stop()) {
                logLine("Download stays on one connection: it brings " +
                        std::to_string(static_cast<int64_t>(rate) >> 20) + " MiB/s");
                mQualifies = false;
                mPrimary->setEnd(mTotal);
            } else {
                split();
            }
        }
        if (mSplit && !mOwner.mOneStream) {
            fill();
            if (mOutcome) {
                return settle(*mOutcome);
            }
        }
        if (mSlices.empty() && mWaiting.empty()) {
            break;
        }
        const auto now = Clock::now();
        if (now - mLastSave >= std::chrono::seconds(1)) {
            saveRanges();
        }
        int wait = 100;  // cancel() is seen within this
        // A slice waiting out its back-off starts on time, once a connection is free for it.
        if (static_cast<int>(mSlices.size()) < mLimits.maxConnections) {
            for (const Waiting& w : mWaiting) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(w.notBefore - now)
                        .count();
                wait = static_cast<int>(std::clamp<int64_t>(left, 0, wait));
            }
        }
        mCurl.multi_poll(mMulti, nullptr, 0, wait, nullptr);
    }
    if (mTotal >= 0 && !mRequest.done.covers(0, mTotal)) {
        if (mOwner.mOneStream) {
            return settle(Outcome::OneStream);
        }
        logLine("Download interrupted: " + std::to_string(mRequest.done.bytes()) + " of " +
                std::to_string(mTotal) + " bytes");
        return settle(Outcome::Transport);
    }
    if (!mDisposition) {
        logLine("Download failed: the response has no Content-Disposition");
        return settle(Outcome::Guard);
    }
    return settle(Outcome::Done);
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
