#pragma once
// What the downloader reads from an HTTP response: the status line and the few headers that say
// what the body is and whether a range of it can be asked for again.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Parses a whole decimal number that fits 63 bits; nothing for anything else.
[[nodiscard]] std::optional<int64_t> parseCount(std::string_view text);

// "bytes FIRST-LAST/TOTAL" of a 206 answer.
struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = 0;
};
[[nodiscard]] std::optional<ContentRange> parseContentRange(std::string_view value);

// An ETag that promises the same bytes (not "W/..."): the only validator several ranges of one
// file may be put together under.
[[nodiscard]] bool strongEtag(std::string_view etag);

// The last response's status and headers; a new status line (after a redirect) starts them over.
struct ResponseHeaders {
    long status = 0;
    std::optional<std::string> contentDisposition;
    std::optional<std::string> etag;
    std::optional<std::string> lastModified;
    std::optional<std::string> contentRange;
    std::optional<int64_t> contentLength;
    bool acceptsByteRanges = false;  // "Accept-Ranges: bytes"

    // One header line as libcurl hands it over, the status line included.
    void take(std::string_view line);

    // A strong ETag, else Last-Modified: what "If-Range" sends back.
    [[nodiscard]] std::optional<std::string> validator() const;

    // The header names the file as an attachment; its pieces around "=" are not used, only that
    // there is at least one.
    [[nodiscard]] bool dispositionHasText() const;
};

}  // namespace corvane
