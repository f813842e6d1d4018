#pragma once
// One HTTP request of a download: a libcurl easy handle that asks for the bytes from `start`
// (to the end of the file, or up to `end`) and writes them at their own offset into the partial
// file, so that several of them can fill one file side by side.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/network_libraries.h"
#include "setup/downloader.h"
#include "setup/http_response.h"

namespace corvane {

class SliceTransfer {
  public:
    // The download the slice belongs to; called on the worker that drives the transfer.
    class Owner {
      public:
        // Once per response, before any of its body is kept (or at its end when it has none):
        // false ends the transfer, with stop() set by the owner or Refused.
        virtual bool accept(SliceTransfer& slice) = 0;
        // [first, end) of the file has just been written.
        virtual void wrote(SliceTransfer& slice, int64_t first, int64_t end) = 0;
        [[nodiscard]] virtual bool cancelled() const = 0;

      protected:
        ~Owner() = default;
    };

    enum class Stop {
        Reached,  // the slice has all it was asked for; the rest of the response is not wanted
        Refused,  // accept() said no
        Guard,    // too large or a failed write: the download ends
        Failed,   // set by the owner in accept(): an HTTP error
        Restart,  // set by the owner in accept(): the partial file does not fit the answer
    };

    // Asks for [start, end); `openEnded`: for "start-" (the rest of the file), where the answer
    // also tells what the file is. `ifRange`: the validator the file was begun under.
    SliceTransfer(const platform::CurlLibrary& curl, Owner& owner, int fd, int64_t start,
                  int64_t end, bool openEnded, std::optional<std::string> ifRange);
    ~SliceTransfer();
    SliceTransfer(const SliceTransfer&) = delete;
    SliceTransfer& operator=(const SliceTransfer&) = delete;

    // Every transfer option, the machine's network settings included; false (logged) when
    // libcurl refuses one.
    [[nodiscard]] bool configure(const std::string& url, const Downloader::Limits& limits);

    [[nodiscard]] CURL* easy() const { return mEasy; }
    [[nodiscard]] int64_t start() const { return mStart; }
    [[nodiscard]] int64_t position() const { return mPosition; }
    [[nodiscard]] int64_t end() const { return mEnd; }
    // The end the request asked for, whatever setEnd() did since.
    [[nodiscard]] int64_t askedEnd() const { return mAskedEnd; }
    [[nodiscard]] bool openEnded() const { return mOpenEnded; }
    [[nodiscard]] const std::optional<std::string>& ifRange() const { return mIfRange; }
    // The rest from `end` on goes to another slice (or, growing it, comes back to this one).
    void setEnd(int64_t end) { mEnd = end; }
    // The response's body may not go past `ceiling` (a file offset); -1: no bound yet.
    void setCeiling(int64_t ceiling) { mCeiling = ceiling; }
    // The first byte of the body is for file offset `at` (a whole file sent where a range was
    // asked for starts at zero).
    void moveTo(int64_t at) { mPosition = at; }

    [[nodiscard]] const ResponseHeaders& headers() const { return mHeaders; }
    [[nodiscard]] const std::optional<Stop>& stop() const { return mStop; }
    void setStop(Stop why) { mStop = why; }
    // Runs accept() if no body came to do it.
    void settle();

  private:
    static size_t onBody(char* data, size_t size, size_t count, void* user);
    static size_t onHeader(char* data, size_t size, size_t count, void* user);
    static int onTick(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    const platform::CurlLibrary& mCurl;
    Owner& mOwner;
    CURL* mEasy = nullptr;
    curl_slist* mHeaderList = nullptr;
    std::string mRange;
    int mFd;
    int64_t mStart;
    int64_t mPosition;
    int64_t mEnd;
    int64_t mAskedEnd;
    int64_t mCeiling = -1;
    int64_t mMaxBody = 0;
    bool mOpenEnded;
    std::optional<std::string> mIfRange;
    ResponseHeaders mHeaders;
    bool mAccepted = false;  // accept() has run for this response
    std::optional<Stop> mStop;
};

}  // namespace corvane
