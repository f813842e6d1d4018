#pragma once
// Single keys of small INI-style text files, above all the settings file shared with Corvane.
//
// Stateless: every call reads the whole file itself and a write replaces the whole file. Nothing
// is parsed into a tree; sections and keys are plain text tests on each line, so comments, blank
// lines and lines of any other kind pass through a write unchanged. Keys are addressed as
// "group/key" by the group operations. Trouble is reported as a plain log line
// (platform::logLine), never thrown.
//
// Only a regular file (or a symbolic link to one) of at most kMaxFileSize bytes is read: a FIFO,
// a device or a larger file counts as unreadable, so lookups give their default and writes write
// nothing.
//
// Writers of one file take turns: every write holds an exclusive flock(2) on the file beside it
// named like it plus kLockSuffix ("common.ini.lock") from its read to its rename, and gives up
// after kLockWait. Anyone else who rewrites the file must do the same, or keys can be lost. On a
// file system that has no locks, writes go ahead unlocked with a line that says so.
//
// Lines end at LF, CR LF (one break), a lone CR, VT, FF, NEL, U+2028 and U+2029. A text that
// ends with a line break has a final empty line; an empty text is one empty line. Writes join the
// lines with LF and add no break after the last one.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

class RegEditer {
  public:
    RegEditer() = delete;

    // Settings files hold a few dozen lines; anything beyond this is not one.
    static constexpr size_t kMaxFileSize = size_t{1} << 20;
    // The writers' lock file is the settings file's path with this appended.
    static constexpr std::string_view kLockSuffix = ".lock";
    // How long a write waits for the writers' lock before it gives up.
    static constexpr std::chrono::seconds kLockWait{3};

    // The value of the first line anywhere in the file (sections play no part) that begins with
    // `withKey` + "=": everything after that "=". The default when no line matches, or when the
    // file cannot be read as text, is refused (see above) or is not UTF-8 (then logs
    // "Error reading file: " + the reason).
    [[nodiscard]] static std::string getIniValue(const std::string& withKey,
                                                 const std::string& defaultValue,
                                                 const std::string& filePath);

    // The value of `key` inside `group`, addressed as "group/key": everything after key + "=" on
    // the first such line while the group is open. The group opens at any line that contains
    // "[group]" and closes at the next section header ("[" at the start, "]" at the end). The
    // default when the address is not exactly two pieces ("Invalid format for groupName/key"),
    // when the file is missing, unreadable or not UTF-8 ("Failed to read the file"), refused
    // ("Failed to read the file: " + the reason), or when the key is not found (no line).
    [[nodiscard]] static std::string getIniValueWithGroup(const std::string& withKeyValue,
                                                          const std::string& defaultValue,
                                                          const std::string& filePath);

    // Replaces the first key line of the group with key + "=" + `newValue`; a key the group lacks
    // goes directly before the next section header (or at the end), a missing group is appended
    // with the key. Every other line stays as it was. The file must exist already: a missing one
    // is never created. The new text replaces the file in one rename of a temporary file beside
    // it, so a reader sees the old or the new file whole; the writers' lock is held meanwhile.
    // Returns true when the file was written ("File updated successfully"). False, with the file
    // left untouched, for:
    //  - an invalid address, one with a line break, or a group or key holding "[" or "]", or a
    //    key holding "=" ("Invalid format for groupName/key");
    //  - a value with a line break ("Refused a value with a line break for " + address: it would
    //    add lines of its own to the file) or with bytes that are not UTF-8;
    //  - a missing, unreadable or non-UTF-8 file ("Failed to read the file"), or a refused one
    //    ("Failed to read the file: " + the reason);
    //  - a lock not had within kLockWait, a new text over kMaxFileSize or a failed write
    //    ("Failed to write the file: " + the reason).
    [[nodiscard]] static bool setIniValueWithGroup(const std::string& withKeyValue,
                                                   const std::string& newValue,
                                                   const std::string& atPath);

    // The writes of setIniValueWithGroup for each (address, value) pair in order, each with its
    // own rewrite and its own line, but under one hold of the writers' lock: a lock held by
    // someone else for ever costs one wait of kLockWait, not one per pair. Pairs refused for
    // their address or value are skipped with their line; when the file is missing or refused or
    // the lock is not had, every other pair logs that failure. Returns the number written.
    [[nodiscard]] static size_t setIniValuesWithGroup(
        const std::vector<std::pair<std::string, std::string>>& pairs, const std::string& atPath);
};

}  // namespace corvane
