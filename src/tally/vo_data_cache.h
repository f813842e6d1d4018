#pragma once
// The offline batch cache: batches that were not delivered, kept as files in the folder "tally"
// of the user's Documents folder and uploaded again later. A batch's whole state (kind, time,
// retry count, table) is its file name: "force|delay" "-" ts "-" retryCount "-" table.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tally/tally_value.h"

namespace tally {

class VoTallyControl;
class VoHttpPoster;

// One cached batch, as its file name describes it.
class VoDataFile {
  public:
    VoDataFile(std::string tableName, std::string filePath, bool isForce, int64_t ts,
               int64_t retryCount);

    std::string tableName;   // table of the batch's event record
    std::string filePath;    // full path as found in the folder
    int64_t retryCount = 0;  // failed upload runs so far
    bool isForce = false;    // came from a forced report whose post failed
    int64_t ts = 0;          // when it was stored, whole seconds since 1970
};

class VoDataCache {
  public:
    // The current time in whole seconds since 1970.
    using Clock = std::function<int64_t()>;

    // An upload run is started at most once per this many seconds.
    static constexpr int64_t kUploadInterval = 10;
    // A batch whose upload failed at this retry count (or above) is deleted instead of renamed.
    static constexpr int64_t kMaxRetryCount = 6;

    // `now` defaults to the system clock; tests inject their own.
    explicit VoDataCache(Clock now = {});
    VoDataCache(const VoDataCache&) = delete;
    VoDataCache& operator=(const VoDataCache&) = delete;

    // The cache folder (Documents + "/tally"), created (without parents) when nothing exists
    // there. When it cannot be made, or there is no Documents folder, logs the reason and
    // returns the empty text.
    [[nodiscard]] static std::string getDataDirectoryPath();

    // Folder + "/" + the file name for these values; the empty text when there is no folder.
    [[nodiscard]] static std::string getCacheFilePath(std::string_view tableName, bool isForce,
                                                      int64_t ts, int64_t retryCount);

    // Stores `data` under the name for (tableName, isForce, now, 0) in one atomic write (a
    // temporary file beside it, then a rename); a batch stored earlier under the same name is
    // replaced. Returns false when nothing was stored: no folder (logged; nothing is ever written
    // elsewhere) or a failed write (silent, the batch is lost).
    bool saveFile(std::string_view tableName, const ByteBuffer& data, bool isForce);

    // Scans the folder recursively. Entries whose relative path does not split at "-" into
    // exactly four non-empty pieces are logged and removed (a folder with everything in it);
    // the others are returned in enumeration order. A time piece that is not a number reads as
    // now, a retry piece that is not one as 0. Logs the count of listed files.
    [[nodiscard]] std::vector<VoDataFile> listCacheFiles();

    // An upload run, at most one per kUploadInterval seconds (earlier calls do nothing): queues
    // every listed batch on `poster`, to the server of its table's priority. On the main thread,
    // a delivered batch is deleted; a failed one is renamed to the next retry count, or deleted
    // once its count is kMaxRetryCount or more. A batch that cannot be read back at the path
    // rebuilt from its name is skipped. Outcomes that arrive after this cache is gone are ignored.
    void postCacheFiles(const VoTallyControl& control, VoHttpPoster& poster);

    // Removes the batch's file; logs when that fails.
    void deleteCacheFile(const VoDataFile& file);

    // Renames the batch's file to the next retry count (same kind, time, table); logs when that
    // fails. Never replaces a file that already has the new name: the rename then fails and both
    // files stay.
    void updateRetryCount(const VoDataFile& file);

    // Start time of the last upload run; 0 before the first.
    int64_t mLastUploadCacheFiles = 0;

  private:
    [[nodiscard]] int64_t now() const;

    Clock mNow;
    // Expires with the cache, so post outcomes queued on the main thread can tell.
    std::shared_ptr<int> mAlive = std::make_shared<int>(0);
};

}  // namespace tally
