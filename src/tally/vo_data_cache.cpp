#include "tally/vo_data_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tally/vo_http_poster.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_control.h"

namespace tally {
namespace fs = std::filesystem;
namespace {

std::vector<std::string> splitNonEmpty(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            pieces.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

// Writes the whole of `data` to a new file beside `path` and renames it over `path`, so readers
// see the old file or the complete new one, never a part. The temporary name has no "-", so a
// leftover from a crash is a foreign entry that the next listing removes.
bool writeAtomically(const std::string& path, const ByteBuffer& data) {
    const fs::path target(path);
    std::string tmpl = (target.parent_path() / ".tally.XXXXXX").string();
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) {
        return false;
    }
    bool ok = corvane::platform::writeAll(
        fd, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmpl.c_str(), path.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        ::unlink(tmpl.c_str());
    }
    return ok;
}

bool readWholeFile(const std::string& path, ByteBuffer& out) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        out.insert(out.end(), chunk, chunk + in.gcount());
    }
    return !in.bad();
}

std::string describe(const std::error_code& ec) {
    return ec ? ec.message() : std::string(std::strerror(ENOENT));
}

}  // namespace

VoDataFile::VoDataFile(std::string tableName_, std::string filePath_, bool isForce_, int64_t ts_,
                       int64_t retryCount_)
    : tableName(std::move(tableName_)),
      filePath(std::move(filePath_)),
      retryCount(retryCount_),
      isForce(isForce_),
      ts(ts_) {}

VoDataCache::VoDataCache(Clock now) : mNow(std::move(now)) {}

int64_t VoDataCache::now() const {
    if (mNow) {
        return mNow();
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string VoDataCache::getDataDirectoryPath() {
    const auto documents = corvane::platform::documentsDirectory();
    if (!documents || documents->empty()) {
        VoLogUtil::e("VoDataCache => ERROR: no Documents folder for the cache");
        return {};
    }
    const std::string path = *documents + "/tally";
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) {
        return path;
    }
    // Only the last component is made: a missing Documents folder is not conjured up.
    if (!fs::create_directory(path, ec) || ec) {
        VoLogUtil::e("Couldn't create the folder '" + path + "': " + describe(ec));
        return {};
    }
    return path;
}

std::string VoDataCache::getCacheFilePath(std::string_view tableName, bool isForce, int64_t ts,
                                          int64_t retryCount) {
    const std::string dir = getDataDirectoryPath();
    if (dir.empty()) {
        return {};
    }
    return dir + "/" + (isForce ? "force" : "delay") + "-" + std::to_string(ts) + "-" +
           std::to_string(retryCount) + "-" + std::string(tableName);
}

bool VoDataCache::saveFile(std::string_view tableName, const ByteBuffer& data, bool isForce) {
    const std::string path = getCacheFilePath(tableName, isForce, now(), 0);
    if (path.empty()) {
        // Without a folder the path would name a file at the filesystem root.
        VoLogUtil::e("VoDataFile => ERROR: no cache folder, batch of table['" +
                     std::string(tableName) + "'] not stored");
        return false;
    }
    return writeAtomically(path, data);
}

std::vector<VoDataFile> VoDataCache::listCacheFiles() {
    const int64_t current = now();
    std::vector<VoDataFile> result;
    const std::string dir = getDataDirectoryPath();
    if (dir.empty()) {
        return result;
    }

    struct Entry {
        std::string relative;
        std::string full;
        std::vector<std::string> pieces;
    };
    std::vector<Entry> entries;
    std::error_code ec;
    // Collect first and change the folder afterwards: removing entries while a directory is
    // being read leaves it unspecified which entries the reader still sees.
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        Entry entry;
        entry.relative = it->path().lexically_relative(dir).string();
        entry.full = dir + "/" + entry.relative;
        entry.pieces = splitNonEmpty(entry.relative, '-');
        std::error_code typeEc;
        if (entry.pieces.size() != 4 && it->is_directory(typeEc) && !it->is_symlink(typeEc)) {
            it.disable_recursion_pending();  // removed whole below
        }
        entries.push_back(std::move(entry));
    }

    for (auto& entry : entries) {
        if (entry.pieces.size() == 4) {
            result.emplace_back(
                entry.pieces[3], entry.full, entry.pieces[0] == "force",
                corvane::platform::parseDecimalInteger(entry.pieces[1]).value_or(current),
                corvane::platform::parseDecimalInteger(entry.pieces[2]).value_or(0));
            continue;
        }
        VoLogUtil::w("VoDataFile => removeItem['" + entry.full + "']");
        std::error_code removeEc;
        fs::remove_all(entry.full, removeEc);
        if (removeEc) {
            VoLogUtil::e("VoDataFile => ERROR: failed to delete!!! error:" + removeEc.message());
        }
    }
    VoLogUtil::w("VoDataFile => cache files count['" + std::to_string(result.size()) + "']");
    return result;
}

void VoDataCache::postCacheFiles(const VoTallyControl& control, VoHttpPoster& poster) {
    const int64_t current = now();
    const int64_t since = current - mLastUploadCacheFiles;
    if (since < kUploadInterval && since > -kUploadInterval) {
        return;
    }
    mLastUploadCacheFiles = current;

    for (const VoDataFile& file : listCacheFiles()) {
        const std::string path =
            getCacheFilePath(file.tableName, file.isForce, file.ts, file.retryCount);
        ByteBuffer bytes;
        if (path.empty() || !readWholeFile(path, bytes)) {
            continue;
        }
        const std::string url = control.getServerUrl(file.tableName);
        std::weak_ptr<int> alive = mAlive;
        poster.post(
            url, std::move(bytes),
            [this, alive, file] {
                if (alive.expired()) {
                    return;
                }
                VoLogUtil::d("VoDataFile => post cache table['" + file.tableName + "'] => success");
                deleteCacheFile(file);
            },
            [this, alive, file](const PostError&) {
                if (alive.expired()) {
                    return;
                }
                if (file.retryCount >= kMaxRetryCount) {
                    deleteCacheFile(file);
                } else {
                    updateRetryCount(file);
                }
            });
    }
}

void VoDataCache::deleteCacheFile(const VoDataFile& file) {
    std::error_code ec;
    if (!fs::remove(file.filePath, ec) || ec) {
        VoLogUtil::e("VoDataFile => ERROR: failed to delete!!! error:" + describe(ec));
    }
}

void VoDataCache::updateRetryCount(const VoDataFile& file) {
    const std::string target =
        getCacheFilePath(file.tableName, file.isForce, file.ts, file.retryCount + 1);
    std::error_code ec;
    if (target.empty()) {
        ec = std::make_error_code(std::errc::no_such_file_or_directory);
    } else {
        // Never over another batch: two batches of one table stored in the same second differ
        // only in their retry count, and moving one to the next count must not destroy the
        // other.
        ec = corvane::platform::renameNoReplace(file.filePath, target);
    }
    if (ec) {
        VoLogUtil::e("VoDataFile => ERROR: failed to rename!!! error:" + ec.message());
    }
}

}  // namespace tally
