#include "setup/http_response.h"

namespace corvane {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (lower(s[i]) != lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && startsWithNoCase(a, b);
}

}  // namespace

std::optional<int64_t> parseCount(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        value = value * 10 + (ch - '0');
    }
    return value;
}

std::optional<ContentRange> parseContentRange(std::string_view value) {
    value = trim(value);
    if (!startsWithNoCase(value, "bytes ")) {
        return std::nullopt;
    }
    value.remove_prefix(6);
    const size_t dash = value.find('-');
    const size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
        return std::nullopt;
    }
    const auto first = parseCount(value.substr(0, dash));
    const auto last = parseCount(value.substr(dash + 1, slash - dash - 1));
    const auto total = parseCount(value.substr(slash + 1));
    if (!first || !last || !total || *first > *last || *last >= *total) {
        return std::nullopt;
    }
    return ContentRange{*first, *last, *total};
}

bool strongEtag(std::string_view etag) {
    return !etag.empty() && !startsWithNoCase(etag, "W/");
}

void ResponseHeaders::take(std::string_view line) {
    auto value = [&line](std::string_view name) -> std::optional<std::string> {
        if (!startsWithNoCase(line, name)) {
            return std::nullopt;
        }
        return std::string(trim(line.substr(name.size())));
    };
    if (startsWithNoCase(line, "HTTP/")) {
        const size_t space = line.find(' ');
        const auto code =
            space == std::string_view::npos ? std::nullopt : parseCount(line.substr(space + 1, 3));
        *this = ResponseHeaders{};
        status = code ? static_cast<long>(*code) : 0;
    } else if (auto v = value("content-disposition:")) {
        if (!v->empty()) {
            contentDisposition = std::move(*v);
        }
    } else if (auto etagValue = value("etag:")) {
        etag = std::move(*etagValue);
    } else if (auto modified = value("last-modified:")) {
        lastModified = std::move(*modified);
    } else if (auto range = value("content-range:")) {
        contentRange = std::move(*range);
    } else if (auto length = value("content-length:")) {
        contentLength = parseCount(*length);
    } else if (auto ranges = value("accept-ranges:")) {
        acceptsByteRanges = equalsNoCase(*ranges, "bytes");
    }
}

std::optional<std::string> ResponseHeaders::validator() const {
    if (etag && strongEtag(*etag)) {
        return etag;
    }
    return lastModified;
}

bool ResponseHeaders::dispositionHasText() const {
    if (!contentDisposition) {
        return false;
    }
    for (const char ch : *contentDisposition) {
        if (ch != '=') {
            return true;
        }
    }
    return false;
}

}  // namespace corvane
