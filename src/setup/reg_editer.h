#pragma once
// Single keys of small INI-style text files, above all the settings file shared with Corvane.
//
// Stateless: every call reads the whole file itself and a write replaces the whole file. Nothing
// is parsed into a tree; sections and keys are plain text tests on each line, so comments, blank
// lines and lines of any other kind pass through a write unchanged. Keys are addressed as
// "group/key" by the group operations. Trouble is reported as a plain log line
// (platform::logLine), never thrown.
//
// Lines end at LF, CR LF (one break), a lone CR, VT, FF, NEL, U+2028 and U+2029. A text that
// ends with a line break has a final empty line; an empty text is one empty line. Writes join the
// lines with LF and add no break after the last one.
#include <string>
#include <string_view>

namespace corvane {

class RegEditer {
  public:
    RegEditer() = delete;

    // The value of the first line anywhere in the file (sections play no part) that begins with
    // `withKey` + "=": everything after that "=". The default when no line matches, or when the
    // file cannot be read as text (then logs "Error reading file: " + the reason).
    [[nodiscard]] static std::string getIniValue(const std::string& withKey,
                                                 const std::string& defaultValue,
                                                 const std::string& filePath);

    // The value of `key` inside `group`, addressed as "group/key": everything after key + "=" on
    // the first such line while the group is open. The group opens at any line that contains
    // "[group]" and closes at the next section header ("[" at the start, "]" at the end). The
    // default when the address is not exactly two pieces ("Invalid format for groupName/key"),
    // when the file is missing, unreadable or not UTF-8 ("Failed to read the file"), or when the
    // key is not found (no line).
    [[nodiscard]] static std::string getIniValueWithGroup(const std::string& withKeyValue,
                                                          const std::string& defaultValue,
                                                          const std::string& filePath);

    // Replaces the first key line of the group with key + "=" + `newValue`; a key the group lacks
    // goes directly before the next section header (or at the end), a missing group is appended
    // with the key. Every other line stays as it was. The file must exist already: a missing one
    // is never created. The new text replaces the file in one rename of a temporary file beside
    // it, so a reader sees the old or the new file whole.
    // Returns true when the file was written ("File updated successfully"). False, with the file
    // left untouched, for an invalid address or an address with a line break ("Invalid format for
    // groupName/key"), a value with a line break ("Refused a value with a line break for " +
    // address: it would add lines of its own to the file), an unreadable file ("Failed to read
    // the file") or a failed write ("Failed to write the file: " + the reason).
    [[nodiscard]] static bool setIniValueWithGroup(const std::string& withKeyValue,
                                                   const std::string& newValue,
                                                   const std::string& atPath);
};

}  // namespace corvane
