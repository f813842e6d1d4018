#include "setup/work_folder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <regex>
#include <utility>

#include "platform/files.h"
#include "platform/log.h"

namespace corvane {
namespace fs = std::filesystem;
namespace {

using platform::logLine;

constexpr std::string_view kInstallWord = "install";
constexpr std::string_view kSeedWord = "settings-seed";

std::string markPath(const std::string& folder) {
    return folder + "/" + std::string(kWorkFolderMarkName);
}

std::string errnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

// Flushes the folder's entry of a new file to disk.
void syncFolder(const std::string& folder) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

// The mark's text: "<kind> <pid>\n". Anything else yields no kind.
void parseMark(int fd, WorkFolderMark::Claim& claim) {
    char buf[128];
    ssize_t n = 0;
    do {
        n = ::pread(fd, buf, sizeof buf - 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return;
    }
    const std::string text(buf, static_cast<size_t>(n));
    static const std::regex form(R"(^([a-z-]+) ([0-9]{1,10})\n$)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        return;
    }
    claim.pid = std::stol(m[2].str());
    if (m[1].str() == kInstallWord) {
        claim.kind = WorkFolderKind::install;
    } else if (m[1].str() == kSeedWord) {
        claim.kind = WorkFolderKind::settingsSeed;
    }
}

bool processAlive(long pid) {
    if (pid <= 0) {
        return true;  // unknown owner: assume the worst
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

std::optional<WorkFolderMark> WorkFolderMark::place(const std::string& folder,
                                                    WorkFolderKind kind) {
    const std::string path = markPath(folder);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        logLine("Cannot mark the working folder: " + path + ": " + errnoText(errno));
        return std::nullopt;
    }
    WorkFolderMark mark(fd);
    // Locked before anything is written: a run looking at the folder meanwhile either waits for
    // nothing (it sees the lock) or finds an empty mark, which it leaves alone.
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    const std::string text =
        std::string(kind == WorkFolderKind::install ? kInstallWord : kSeedWord) + " " +
        std::to_string(::getpid()) + "\n";
    if (!platform::writeAll(fd, text) || ::fsync(fd) != 0) {
        logLine("Cannot mark the working folder: " + path + ": " + errnoText(errno));
        ::unlink(path.c_str());
        return std::nullopt;
    }
    syncFolder(folder);
    return mark;
}

WorkFolderMark::Claim WorkFolderMark::claimStale(const std::string& folder) {
    Claim claim;
    const int fd = ::open(markPath(folder).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return claim;
    }
    WorkFolderMark mark(fd);
    parseMark(fd, claim);
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        // Held by a live run, or a file system without flock: then the process id decides.
        if (errno == EWOULDBLOCK || processAlive(claim.pid)) {
            claim.outcome = Claim::Outcome::ownerRunning;
            return claim;
        }
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_nlink == 0) {
        return claim;  // removed by the run that held it just before we got the lock
    }
    parseMark(fd, claim);  // read again under the lock: the owner may have been writing it
    claim.outcome = Claim::Outcome::claimed;
    claim.mark.emplace(std::move(mark));
    return claim;
}

WorkFolderMark::WorkFolderMark(WorkFolderMark&& other) noexcept
    : mFd(std::exchange(other.mFd, -1)) {}

WorkFolderMark& WorkFolderMark::operator=(WorkFolderMark&& other) noexcept {
    if (this != &other) {
        if (mFd >= 0) {
            ::close(mFd);
        }
        mFd = std::exchange(other.mFd, -1);
    }
    return *this;
}

WorkFolderMark::~WorkFolderMark() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

std::vector<std::string> markedFoldersIn(const std::string& home) {
    static const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(home, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code entryError;
        if (!it->is_directory(entryError) || it->is_symlink(entryError) ||
            !std::regex_match(it->path().filename().string(), uuid)) {
            continue;
        }
        const fs::path mark = it->path() / kWorkFolderMarkName;
        if (fs::symlink_status(mark, entryError).type() != fs::file_type::regular) {
            continue;
        }
        found.emplace_back(fs::last_write_time(mark, entryError), it->path().string());
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a > b; });
    std::vector<std::string> out;
    out.reserve(found.size());
    for (auto& f : found) {
        out.push_back(std::move(f.second));
    }
    return out;
}

void removeWorkFolder(const std::string& folder, std::error_code& ec) {
    ec.clear();
    const fs::path mark = markPath(folder);
    if (fs::symlink_status(folder, ec).type() != fs::file_type::directory ||
        fs::symlink_status(mark, ec).type() != fs::file_type::regular) {
        removeTree(folder, ec);
        return;
    }
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename() != kWorkFolderMarkName) {
            entries.push_back(it->path());
        }
    }
    for (const auto& entry : entries) {
        if (ec) {
            return;
        }
        removeTree(entry.string(), ec);
    }
    if (!ec) {
        fs::remove(mark, ec);
    }
    if (!ec) {
        fs::remove(folder, ec);
    }
}

void removeTree(const std::string& path, std::error_code& ec) {
    ec.clear();
    const uid_t me = ::geteuid();
    const auto writable = [me](const fs::path& p) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == me &&
            (st.st_mode & S_IWUSR) == 0) {
            (void)::chmod(p.c_str(), (st.st_mode & 07777) | S_IRWXU);
        }
    };
    writable(path);
    std::error_code walk;
    for (fs::recursive_directory_iterator it(path, walk), end; !walk && it != end;
         it.increment(walk)) {
        writable(it->path());
    }
    fs::remove_all(path, ec);
}

bool holdsOnlyItsMark(const std::string& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename() != kWorkFolderMarkName) {
            return false;
        }
    }
    return !ec;
}

}  // namespace corvane
