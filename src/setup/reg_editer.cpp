#include "setup/reg_editer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/text.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::logLine;

constexpr std::string_view kInvalidAddress = "Invalid format for groupName/key";
constexpr std::string_view kReadFailed = "Failed to read the file";

// The whole file's bytes, or the reason it could not be read.
struct FileText {
    std::optional<std::string> text;
    std::string error;
    bool refused = false;  // not a regular file, or too large: we would not even try to read it
};

std::string describeErrno(const std::string& path, int err) {
    return path + ": " + std::generic_category().message(err);
}

std::string notRegular(const std::string& path) {
    return path + ": not a regular file";
}

std::string tooLarge(const std::string& path) {
    return path + ": larger than " + std::to_string(RegEditer::kMaxFileSize) + " bytes";
}

// Only a regular file (or a symbolic link to one) of at most kMaxFileSize bytes is read. A FIFO
// would block the open or the read for ever, a device could feed bytes without end, and a huge
// file would only cost memory: all of them are refused with the reason.
FileText readWholeFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {std::nullopt, describeErrno(path, errno)};
    }
    if (S_ISDIR(st.st_mode)) {
        return {std::nullopt, describeErrno(path, EISDIR)};
    }
    if (!S_ISREG(st.st_mode)) {
        return {std::nullopt, notRegular(path), true};
    }
    if (static_cast<uintmax_t>(st.st_size) > RegEditer::kMaxFileSize) {
        return {std::nullopt, tooLarge(path), true};
    }
    // Something else may take the path's place between the check and the open: O_NONBLOCK keeps
    // the open of a FIFO from waiting for a writer, and the type is checked again on what was
    // actually opened.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return {std::nullopt, describeErrno(path, errno)};
    }
    FileText result;
    if (::fstat(fd, &st) != 0) {
        result.error = describeErrno(path, errno);
    } else if (S_ISDIR(st.st_mode)) {
        result.error = describeErrno(path, EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        result.error = notRegular(path);
        result.refused = true;
    } else {
        std::string bytes;
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                result.error = describeErrno(path, errno);
                break;
            }
            if (n == 0) {
                result.text = std::move(bytes);
                break;
            }
            bytes.append(buffer, static_cast<size_t>(n));
            // Checked on what was read, not on the size fstat saw: the file may grow meanwhile.
            if (bytes.size() > RegEditer::kMaxFileSize) {
                result.error = tooLarge(path);
                result.refused = true;
                break;
            }
        }
    }
    ::close(fd);
    return result;
}

// The writers' lock of one settings file, held while this lives: closing the descriptor
// releases it, also when the process dies, so a lock file left behind never blocks anyone.
class WriterLock {
  public:
    explicit WriterLock(int fd = -1) : mFd(fd) {}
    ~WriterLock() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    WriterLock(WriterLock&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}
    WriterLock& operator=(WriterLock&& other) noexcept {
        std::swap(mFd, other.mFd);
        return *this;
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    [[nodiscard]] int fd() const { return mFd; }

  private:
    int mFd;
};

// Takes the exclusive flock on settingsPath + kLockSuffix, creating that file when missing.
// The lock lives on a file of its own because the settings file is replaced by a rename, and a
// lock on the replaced file would guard nothing. Gives up after kLockWait: a writer that holds
// the lock for ever must not hang the setup. Returns the reason on failure.
std::optional<std::string> lockWriters(const std::string& settingsPath, WriterLock& held) {
    const std::string lockPath = settingsPath + std::string(RegEditer::kLockSuffix);
    WriterLock lock(
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644));
    if (lock.fd() < 0) {
        return describeErrno(lockPath, errno);
    }
    struct stat st {};
    if (::fstat(lock.fd(), &st) != 0) {
        return describeErrno(lockPath, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return notRegular(lockPath);
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + RegEditer::kLockWait;
    std::chrono::milliseconds pause{2};
    for (;;) {
        if (::flock(lock.fd(), LOCK_EX | LOCK_NB) == 0) {
            held = std::move(lock);
            return std::nullopt;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == ENOTSUP || errno == EOPNOTSUPP || errno == ENOLCK) {
            // A file system without locks (some network homes) still takes writes, as it did
            // before there was a lock: refusing them all would lose every key.
            logLine("Writing without the writers' lock: " + describeErrno(lockPath, errno));
            held = std::move(lock);
            return std::nullopt;
        }
        if (errno != EWOULDBLOCK) {
            return describeErrno(lockPath, errno);
        }
        if (Clock::now() >= deadline) {
            return lockPath + ": another writer held the lock for more than " +
                   std::to_string(RegEditer::kLockWait.count()) + " seconds";
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds{50});
    }
}

// Length of the line break that starts at `i`, 0 when there is none. CR LF is one break, so a
// file saved with Windows line ends keeps its lines when it is written back.
size_t lineBreakAt(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const auto next = [&](size_t k) -> unsigned char {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
    };
    switch (c) {
        case '\n':
        case '\v':
        case '\f':
            return 1;
        case '\r':
            return next(1) == '\n' ? 2 : 1;
        case 0xC2:  // NEL
            return next(1) == 0x85 ? 2 : 0;
        case 0xE2:  // LINE SEPARATOR, PARAGRAPH SEPARATOR
            return next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9) ? 3 : 0;
        default:
            return 0;
    }
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (const size_t len = lineBreakAt(text, i); len != 0) {
            lines.push_back(text.substr(start, i - start));
            i += len;
            start = i;
        } else {
            ++i;
        }
    }
    lines.push_back(text.substr(start));
    return lines;
}

bool containsLineBreak(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (lineBreakAt(s, i) != 0) {
            return true;
        }
    }
    return false;
}

struct Address {
    std::string group;
    std::string key;
};

// "group/key" split at every "/": exactly two pieces, either may be empty.
std::optional<Address> parseAddress(std::string_view address) {
    const size_t slash = address.find('/');
    if (slash == std::string_view::npos || address.find('/', slash + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    return Address{std::string(address.substr(0, slash)), std::string(address.substr(slash + 1))};
}

// Brackets in a group or key, or "=" in a key, would make the written lines mean something else
// to the lookups: "[a]]" also opens the group "a", "k=x=1" is also the key line of "k", and
// "[k=v]" is a section header.
bool isWritableAddress(const Address& address) {
    constexpr std::string_view kBrackets = "[]";
    return address.group.find_first_of(kBrackets) == std::string::npos &&
           address.key.find_first_of("[]=") == std::string::npos;
}

bool isSectionHeader(std::string_view line) {
    return line.starts_with('[') && line.ends_with(']');
}

// The value of a key line is everything after key + "=", exactly what a write put there, even
// when the value itself holds "=".
std::string valueOf(std::string_view keyLine, size_t keyLength) {
    return std::string(keyLine.substr(keyLength + 1));
}

// Replaces `target` with `text` through a temporary file beside it and one rename. The file
// keeps its permission bits. Returns the reason on failure.
std::optional<std::string> writeAtomically(const std::string& target, std::string_view text) {
    // Through a symbolic link the link's target is replaced, not the link.
    std::error_code ec;
    std::string path = target;
    if (fs::is_symlink(target, ec)) {
        const fs::path resolved = fs::canonical(target, ec);
        if (ec) {
            return target + ": " + ec.message();
        }
        path = resolved.string();
    }
    struct stat original {};
    if (::stat(path.c_str(), &original) != 0) {
        return describeErrno(path, errno);
    }
    const fs::path p(path);
    std::string tmpl = (p.parent_path() / ("." + p.filename().string() + ".tmp-XXXXXX")).string();
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        return describeErrno(tmpl, errno);
    }
    std::optional<std::string> error;
    if (!platform::writeAll(fd, text)) {
        error = describeErrno(tmpl, errno);
    }
    if (!error && ::fchmod(fd, original.st_mode & 07777) != 0) {
        error = describeErrno(tmpl, errno);
    }
    if (!error && ::fsync(fd) != 0) {
        error = describeErrno(tmpl, errno);
    }
    if (::close(fd) != 0 && !error) {
        error = describeErrno(tmpl, errno);
    }
    if (!error && ::rename(tmpl.c_str(), path.c_str()) != 0) {
        error = describeErrno(path, errno);
    }
    if (error) {
        ::unlink(tmpl.c_str());
    }
    return error;
}

std::string readFailedLine(const FileText& file) {
    // The common troubles (a missing file on the first run) keep the one fixed line; a refused
    // file says why, since nobody expects a settings file to be skipped.
    return file.refused ? std::string(kReadFailed) + ": " + file.error : std::string(kReadFailed);
}

void logReadFailed(const FileText& file) {
    logLine(readFailedLine(file));
}

// The address of a write that may go ahead; nothing, with the reason logged, for one that would
// damage the file.
std::optional<Address> acceptedWrite(const std::string& withKeyValue, const std::string& newValue) {
    std::optional<Address> address = parseAddress(withKeyValue);
    // A group or key with a line break or invalid bytes would write lines of its own.
    if (!address || !isWritableAddress(*address) || containsLineBreak(withKeyValue) ||
        !platform::isValidUtf8(withKeyValue)) {
        logLine(kInvalidAddress);
        return std::nullopt;
    }
    if (containsLineBreak(newValue)) {
        logLine("Refused a value with a line break for " + withKeyValue);
        return std::nullopt;
    }
    // Bytes that are not UTF-8 would make the whole file unreadable to every later lookup.
    if (!platform::isValidUtf8(newValue)) {
        logLine("Refused a value that is not valid UTF-8 for " + withKeyValue);
        return std::nullopt;
    }
    return address;
}

// One write, with the writers' lock already held: read, change the one key line, replace.
bool rewriteLocked(const Address& address, const std::string& newValue, const std::string& atPath) {
    const FileText file = readWholeFile(atPath);
    if (!file.text || !platform::isValidUtf8(*file.text)) {
        logReadFailed(file);
        return false;
    }

    const std::string opening = "[" + address.group + "]";
    const std::string prefix = address.key + "=";
    const std::string keyLine = prefix + newValue;
    std::vector<std::string_view> out;
    bool inGroup = false;
    bool written = false;
    for (const std::string_view line : splitLines(*file.text)) {
        if (written) {
            out.push_back(line);
        } else if (inGroup && line.starts_with(prefix)) {
            out.emplace_back(keyLine);
            written = true;
        } else if (line.find(opening) != std::string_view::npos) {
            out.push_back(line);
            inGroup = true;
        } else if (inGroup && isSectionHeader(line)) {
            out.emplace_back(keyLine);
            out.push_back(line);
            written = true;
        } else {
            out.push_back(line);
        }
    }
    if (!written) {
        if (!inGroup) {
            out.emplace_back(opening);
        }
        out.emplace_back(keyLine);
    }

    std::string text;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i != 0) {
            text += '\n';
        }
        text += out[i];
    }
    // A file we would refuse to read back would lose every key in it.
    if (text.size() > RegEditer::kMaxFileSize) {
        logLine("Failed to write the file: " + tooLarge(atPath));
        return false;
    }
    if (const std::optional<std::string> error = writeAtomically(atPath, text)) {
        logLine("Failed to write the file: " + *error);
        return false;
    }
    logLine("File updated successfully");
    return true;
}

}  // namespace

std::string RegEditer::getIniValue(const std::string& withKey, const std::string& defaultValue,
                                   const std::string& filePath) {
    const FileText file = readWholeFile(filePath);
    if (!file.text) {
        logLine("Error reading file: " + file.error);
        return defaultValue;
    }
    if (!platform::isValidUtf8(*file.text)) {
        logLine("Error reading file: " + filePath +
                ": the text encoding of the file's contents could not be determined");
        return defaultValue;
    }
    const std::string prefix = withKey + "=";
    for (const std::string_view line : splitLines(*file.text)) {
        if (line.starts_with(prefix)) {
            return valueOf(line, withKey.size());
        }
    }
    return defaultValue;
}

std::string RegEditer::getIniValueWithGroup(const std::string& withKeyValue,
                                            const std::string& defaultValue,
                                            const std::string& filePath) {
    const std::optional<Address> address = parseAddress(withKeyValue);
    if (!address) {
        logLine(kInvalidAddress);
        return defaultValue;
    }
    const FileText file = readWholeFile(filePath);
    if (!file.text || !platform::isValidUtf8(*file.text)) {
        logReadFailed(file);
        return defaultValue;
    }
    const std::string opening = "[" + address->group + "]";
    const std::string prefix = address->key + "=";
    bool inGroup = false;
    for (const std::string_view line : splitLines(*file.text)) {
        if (line.find(opening) != std::string_view::npos) {
            inGroup = true;
        } else if (isSectionHeader(line)) {
            inGroup = false;
        }
        if (inGroup && line.starts_with(prefix)) {
            return valueOf(line, address->key.size());
        }
    }
    return defaultValue;
}

bool RegEditer::setIniValueWithGroup(const std::string& withKeyValue, const std::string& newValue,
                                     const std::string& atPath) {
    return setIniValuesWithGroup({{withKeyValue, newValue}}, atPath) == 1;
}

size_t RegEditer::setIniValuesWithGroup(
    const std::vector<std::pair<std::string, std::string>>& pairs, const std::string& atPath) {
    std::vector<std::pair<Address, const std::string*>> accepted;
    for (const auto& [withKeyValue, newValue] : pairs) {
        if (std::optional<Address> address = acceptedWrite(withKeyValue, newValue)) {
            accepted.emplace_back(std::move(*address), &newValue);
        }
    }
    if (accepted.empty()) {
        return 0;
    }
    // Each pair reports its own outcome, also when they all fail for one reason.
    const auto failAll = [&](const std::string& line) {
        for (size_t i = 0; i < accepted.size(); ++i) {
            logLine(line);
        }
        return size_t{0};
    };
    // Looked at before the lock, so that a missing or refused file leaves no lock file behind.
    if (const FileText probe = readWholeFile(atPath); !probe.text) {
        return failAll(readFailedLine(probe));
    }
    // Held from the read to the rename, so that two writers cannot both start from the same old
    // text and lose each other's keys. Taken once for all pairs, so that a writer that holds it
    // for ever costs one wait, not one per key.
    WriterLock lock;
    if (const std::optional<std::string> error = lockWriters(atPath, lock)) {
        return failAll("Failed to write the file: " + *error);
    }
    size_t written = 0;
    for (const auto& [address, newValue] : accepted) {
        if (rewriteLocked(address, *newValue, atPath)) {
            ++written;
        }
    }
    return written;
}

}  // namespace corvane
