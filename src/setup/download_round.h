#pragma once
// The downloader's inner parts, shared by its two sources: the libcurl handle it owns, how one
// round of requests ends, the partial file as a round finds it, and the round itself, which
// drives one or several connections over the multi handle. Not for use outside the downloader.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/network_libraries.h"
#include "setup/downloader.h"
#include "setup/partial_record.h"
#include "setup/slice_transfer.h"

namespace corvane {

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
    using Clock = std::chrono::steady_clock;

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

}  // namespace corvane
