#include "setup/slice_transfer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/log.h"
#include "platform/network_settings.h"
#include "platform/paths.h"

namespace corvane {

using platform::logLine;

SliceTransfer::SliceTransfer(const platform::CurlLibrary& curl, Owner& owner, int fd, int64_t start,
                             int64_t end, bool openEnded, std::optional<std::string> ifRange)
    : mCurl(curl),
      mOwner(owner),
      mEasy(curl.easy_init()),
      mFd(fd),
      mStart(start),
      mPosition(start),
      mEnd(end),
      mAskedEnd(end),
      mOpenEnded(openEnded),
      mIfRange(std::move(ifRange)) {}

SliceTransfer::~SliceTransfer() {
    if (mEasy) {
        mCurl.easy_cleanup(mEasy);
    }
    if (mHeaderList) {
        mCurl.slist_free_all(mHeaderList);
    }
}

bool SliceTransfer::configure(const std::string& url, const Downloader::Limits& limits) {
    if (!mEasy) {
        logLine("Download failed: no transfer handle");
        return false;
    }
    mMaxBody = limits.maxBodyBytes;
    const platform::CurlLibrary& curl = mCurl;
    CURL* easy = mEasy;
    bool ok = true;
    // Every option counts: one that libcurl does not know or refuses (an older libcurl without
    // the protocol lists, say) would leave the download less guarded than it claims to be.
    auto set = [&ok, &curl](CURLcode rc, const char* name) {
        if (ok && rc != CURLE_OK) {
            logLine(std::string("Download failed: the transfer option ") + name +
                    " was refused: " + curl.easy_strerror(rc));
            ok = false;
        }
    };
#define CORVANE_SETOPT(option, value) set(curl.easy_setopt(easy, option, value), #option)
    CORVANE_SETOPT(CURLOPT_URL, url.c_str());
    CORVANE_SETOPT(CURLOPT_WRITEFUNCTION, &SliceTransfer::onBody);
    CORVANE_SETOPT(CURLOPT_WRITEDATA, this);
    CORVANE_SETOPT(CURLOPT_HEADERFUNCTION, &SliceTransfer::onHeader);
    CORVANE_SETOPT(CURLOPT_HEADERDATA, this);
    CORVANE_SETOPT(CURLOPT_XFERINFOFUNCTION, &SliceTransfer::onTick);
    CORVANE_SETOPT(CURLOPT_XFERINFODATA, this);
    CORVANE_SETOPT(CURLOPT_NOPROGRESS, 0L);
    CORVANE_SETOPT(CURLOPT_NOSIGNAL, 1L);
    CORVANE_SETOPT(CURLOPT_FOLLOWLOCATION, 1L);
    CORVANE_SETOPT(CURLOPT_MAXREDIRS, 10L);
    CORVANE_SETOPT(CURLOPT_PROTOCOLS_STR, "https");
    CORVANE_SETOPT(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    CORVANE_SETOPT(CURLOPT_SSL_VERIFYPEER, 1L);
    CORVANE_SETOPT(CURLOPT_SSL_VERIFYHOST, 2L);
    if (const auto bundle = platform::extraCaBundle()) {
        // Replaces only the CA file; the system's certificate folder is still searched.
        CORVANE_SETOPT(CURLOPT_CAINFO, bundle->c_str());
    }
    // The proxy and the trusted roots the machine is set up with (System Settings on a Mac),
    // for every connection of the download alike.
    platform::applySystemNetworkSettings(easy, url);
    // Give up on a connection that does not open, or a transfer that stalls, within the stall
    // time; never on a long but moving download.
    const long stall = static_cast<long>(std::max<int64_t>(1, limits.stallTime.count()));
    CORVANE_SETOPT(CURLOPT_CONNECTTIMEOUT, stall);
    CORVANE_SETOPT(CURLOPT_LOW_SPEED_LIMIT, 1L);
    CORVANE_SETOPT(CURLOPT_LOW_SPEED_TIME, stall);
    CORVANE_SETOPT(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
    CORVANE_SETOPT(CURLOPT_BUFFERSIZE, 256L * 1024L);
    CORVANE_SETOPT(CURLOPT_USERAGENT, "CorvaneSetup/1.0");
    // Only if it is still the same file; otherwise the server sends the whole of it.
    // A resumed file asks for a range even from its first byte: its other ranges are in place.
    const bool ranged = mStart > 0 || !mOpenEnded || mIfRange.has_value();
    mRange = std::to_string(mStart) + "-" + (mOpenEnded ? "" : std::to_string(mEnd - 1));
    CORVANE_SETOPT(CURLOPT_RANGE, ranged ? mRange.c_str() : nullptr);
    if (ranged && mIfRange) {
        mHeaderList = curl.slist_append(nullptr, ("If-Range: " + *mIfRange).c_str());
        if (mHeaderList == nullptr) {
            logLine("Download failed: out of memory");
            return false;
        }
    }
    CORVANE_SETOPT(CURLOPT_HTTPHEADER, mHeaderList);
#undef CORVANE_SETOPT
    return ok;
}

void SliceTransfer::settle() {
    if (!mAccepted) {
        mAccepted = true;
        if (!mOwner.accept(*this) && !mStop) {
            mStop = Stop::Refused;
        }
    }
}

size_t SliceTransfer::onBody(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<SliceTransfer*>(user);
    const size_t total = size * count;
    s->settle();
    if (s->mStop) {
        return 0;  // ends the transfer; stop() says why
    }
    const auto incoming = static_cast<int64_t>(total);
    if (s->mCeiling >= 0 && s->mPosition + incoming > s->mCeiling) {
        logLine("Download failed: the body is larger than announced (" +
                std::to_string(s->mCeiling) + " bytes)");
        s->mStop = Stop::Guard;
        return 0;
    }
    if (s->mPosition + incoming > s->mMaxBody) {
        logLine("Download failed: the body is larger than " + std::to_string(s->mMaxBody) +
                " bytes");
        s->mStop = Stop::Guard;
        return 0;
    }
    const int64_t wanted = std::clamp<int64_t>(s->mEnd - s->mPosition, 0, incoming);
    int64_t done = 0;
    while (done < wanted) {
        const ssize_t n = ::pwrite(s->mFd, data + done, static_cast<size_t>(wanted - done),
                                   static_cast<off_t>(s->mPosition + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            logLine(std::string("Error writing the download: ") + std::strerror(errno));
            s->mStop = Stop::Guard;
            return 0;
        }
        done += n;
    }
    const int64_t first = s->mPosition;
    s->mPosition += wanted;
    if (wanted > 0) {
        s->mOwner.wrote(*s, first, s->mPosition);
    }
    if (wanted < incoming) {
        s->mStop = Stop::Reached;
        return 0;
    }
    return total;
}

size_t SliceTransfer::onHeader(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<SliceTransfer*>(user);
    const size_t total = size * count;
    const std::string_view line(data, total);
    if (line.size() >= 5 && (line.substr(0, 5) == "HTTP/" || line.substr(0, 5) == "http/")) {
        // A new response (after a redirect): only the last one's headers count.
        s->mAccepted = false;
    }
    s->mHeaders.take(line);
    return total;
}

int SliceTransfer::onTick(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<SliceTransfer*>(user)->mOwner.cancelled() ? 1 : 0;
}

}  // namespace corvane
