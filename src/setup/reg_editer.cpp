#include "setup/reg_editer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

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
};

std::string describeErrno(const std::string& path, int err) {
    return path + ": " + std::generic_category().message(err);
}

FileText readWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {std::nullopt, describeErrno(path, errno)};
    }
    FileText result;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.error = describeErrno(path, errno);
    } else if (S_ISDIR(st.st_mode)) {
        result.error = describeErrno(path, EISDIR);
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
        }
    }
    ::close(fd);
    return result;
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
    size_t written = 0;
    while (!error && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = describeErrno(tmpl, errno);
        } else {
            written += static_cast<size_t>(n);
        }
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
        logLine(kReadFailed);
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
    const std::optional<Address> address = parseAddress(withKeyValue);
    // A group or key with a line break or invalid bytes would write lines of its own.
    if (!address || containsLineBreak(withKeyValue) || !platform::isValidUtf8(withKeyValue)) {
        logLine(kInvalidAddress);
        return false;
    }
    if (containsLineBreak(newValue)) {
        logLine("Refused a value with a line break for " + withKeyValue);
        return false;
    }
    // Bytes that are not UTF-8 would make the whole file unreadable to every later lookup.
    if (!platform::isValidUtf8(newValue)) {
        logLine("Refused a value that is not valid UTF-8 for " + withKeyValue);
        return false;
    }
    const FileText file = readWholeFile(atPath);
    if (!file.text || !platform::isValidUtf8(*file.text)) {
        logLine(kReadFailed);
        return false;
    }

    const std::string opening = "[" + address->group + "]";
    const std::string prefix = address->key + "=";
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
    if (const std::optional<std::string> error = writeAtomically(atPath, text)) {
        logLine("Failed to write the file: " + *error);
        return false;
    }
    logLine("File updated successfully");
    return true;
}

}  // namespace corvane
