#pragma once
// The front of the telemetry library: holds the public record, turns each reported event into one
// batch (header, public record, event record) and posts it or keeps it in the offline cache.
// Used on the main thread only; post outcomes come back there as well.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tally/tally_value.h"
#include "tally/vo_data_cache.h"
#include "tally/vo_http_poster.h"
#include "tally/vo_tally_control.h"
#include "tally/vo_tally_format.h"

namespace tally {

class VoTallyClient {
  public:
    // Seams for tests; production uses the defaults.
    struct Options {
        // Per-request bound of the poster.
        std::chrono::milliseconds postTimeout = VoHttpPoster::kDefaultTimeout;
        // The cache's clock (whole seconds since 1970); empty means the system clock.
        VoDataCache::Clock now;
    };

    // Reads the control file and the table definitions from the bundle resources named
    // `vctrlPath` and `vfmt`, starts the poster and logs the product id. With `bUploadCache` the
    // offline cache is used: unsent batches are stored, and what earlier runs stored is uploaded
    // now and after each delivered post.
    VoTallyClient(std::string_view vctrlPath, std::string_view vfmt, bool bUploadCache);
    VoTallyClient(std::string_view vctrlPath, std::string_view vfmt, bool bUploadCache,
                  Options options);
    // Stops the poster; posts still in flight are abandoned (call flush() first to keep them).
    ~VoTallyClient();
    VoTallyClient(const VoTallyClient&) = delete;
    VoTallyClient& operator=(const VoTallyClient&) = delete;

    // Makes `payload` of table `tableName` the public record written in front of every event.
    // False (with a log line) when the client has no product id, the table does not exist (the
    // earlier public record stays) or the payload does not encode (there is then no public record
    // at all until a later call succeeds).
    bool setPublicData(std::string_view tableName, const TallyPayload& payload);

    // Encodes the public record and `payload` of `tableName` into one batch. With `force` it is
    // posted to the server of the table's priority (a failed post goes to the cache when the cache
    // is on); without it, it is stored in the cache, or dropped when the cache is off. True when
    // the batch was handed on (true does not mean delivered); false, with a log line, when the
    // event was refused: no product id, no public record, unknown table, a payload that does not
    // encode, or a batch the format cannot hold (product id above 32 bits, over 65535 bytes).
    bool report(std::string_view tableName, const TallyPayload& payload, bool force);

    // Blocks the calling (main) thread until every post made so far has been answered at the
    // transport level, or until `bound` has passed, whichever comes first; never longer. The
    // outcomes' callbacks are then queued on the main thread (they run when its loop runs again,
    // or not at all when the process ends). Returns true when nothing is in flight any more.
    bool flush(std::chrono::milliseconds bound);

    [[nodiscard]] int64_t productId() const { return mProductId; }
    [[nodiscard]] const std::optional<std::string>& defaultUrl() const { return mDefaultUrl; }
    [[nodiscard]] bool hasPublicData() const { return mPublicTable != nullptr && mPublicPayload; }
    [[nodiscard]] VoHttpPoster* poster() { return mPoster.get(); }
    [[nodiscard]] VoDataCache* dataCache() { return mDataCache.get(); }

  private:
    std::optional<VoTallyControl> mControl;
    std::optional<VoTallyFormat> mFormat;
    std::unique_ptr<VoDataCache> mDataCache;
    std::unique_ptr<VoHttpPoster> mPoster;  // stopped first on destruction
    std::optional<std::string> mDefaultUrl;
    int64_t mProductId = 0;
    TableFormat* mPublicTable = nullptr;  // a table of mFormat
    std::optional<TallyPayload> mPublicPayload;
    bool m_bUpdateLoadCache = false;
    // Expires with the client, so post outcomes queued on the main thread can tell.
    std::shared_ptr<int> mAlive = std::make_shared<int>(0);
};

}  // namespace tally
