#pragma once
// The record beside a partial download that makes it resumable, and the byte ranges of the file
// that are in place.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Half-open byte ranges [first, end), kept sorted, apart and merged.
class ByteRanges {
  public:
    struct Range {
        int64_t first = 0;
        int64_t end = 0;
        bool operator==(const Range&) const = default;
    };

    // Adds [first, end); returns how many of its bytes were not in the set before.
    int64_t add(int64_t first, int64_t end);
    void remove(int64_t first, int64_t end);
    [[nodiscard]] int64_t bytes() const { return mBytes; }
    [[nodiscard]] bool covers(int64_t first, int64_t end) const;
    // What of [0, total) is not in the set.
    [[nodiscard]] std::vector<Range> missing(int64_t total) const;
    [[nodiscard]] const std::vector<Range>& ranges() const { return mRanges; }

    // "FIRST-END FIRST-END ..."; parse() takes nothing else (empty text: the empty set).
    [[nodiscard]] std::string format() const;
    [[nodiscard]] static std::optional<ByteRanges> parse(const std::string& text);

  private:
    std::vector<Range> mRanges;
    int64_t mBytes = 0;
};

// What makes a partial file resumable: the address it came from, the validator the server sent
// with it and the whole size. A file written by one stream from its start is whole up to its
// size; one written by several has holes, so its record also names the ranges that are in place.
// Kept beside the partial file, private to the user.
struct PartialRecord {
    std::string url;
    std::string validator;  // a strong ETag or a Last-Modified date, sent back as "If-Range"
    int64_t total = 0;
    std::optional<ByteRanges> done;  // absent: the file's size says what is in place

    [[nodiscard]] static std::optional<PartialRecord> load(const std::string& path);
    // Written whole or not at all (a temporary file renamed over the record), mode 0600.
    [[nodiscard]] bool save(const std::string& path) const;
};

}  // namespace corvane
