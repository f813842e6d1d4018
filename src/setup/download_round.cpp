#include "setup/download_round.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "platform/log.h"
#include "setup/http_response.h"

namespace corvane {
namespace {

using platform::logLine;
using Stop = SliceTransfer::Stop;

constexpr int64_t kUnbounded = std::numeric_limits<int64_t>::max();

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
            // A file with holes further on is split however fast the link: one stream to the
            // end would fetch again every byte that lies between them.
            const auto gaps = mRequest.done.missing(mTotal);
            const bool lastGapOnly = gaps.size() == 1 && gaps.front().end == mTotal;
            if (rate >= static_cast<double>(mLimits.oneStreamFills) && lastGapOnly && mPrimary &&
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

}  // namespace corvane
