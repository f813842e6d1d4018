#include "setup/partial_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "setup/http_response.h"

namespace corvane {
namespace {

constexpr const char* kMagic = "corvane-partial-download 1";
constexpr const char* kDonePrefix = "done ";

}  // namespace

int64_t ByteRanges::add(int64_t first, int64_t end) {
    if (first >= end) {
        return 0;
    }
    const int64_t before = mBytes;
    // Every range that touches [first, end) is folded into one.
    auto it = std::lower_bound(mRanges.begin(), mRanges.end(), first,
                               [](const Range& r, int64_t at) { return r.end < at; });
    auto last = it;
    while (last != mRanges.end() && last->first <= end) {
        first = std::min(first, last->first);
        end = std::max(end, last->end);
        mBytes -= last->end - last->first;
        ++last;
    }
    it = mRanges.erase(it, last);
    mRanges.insert(it, Range{first, end});
    mBytes += end - first;
    return mBytes - before;
}

void ByteRanges::remove(int64_t first, int64_t end) {
    std::vector<Range> kept;
    for (const Range& r : mRanges) {
        if (r.end <= first || r.first >= end) {
            kept.push_back(r);
            continue;
        }
        if (r.first < first) {
            kept.push_back({r.first, first});
        }
        if (r.end > end) {
            kept.push_back({end, r.end});
        }
    }
    mRanges = std::move(kept);
    mBytes = 0;
    for (const Range& r : mRanges) {
        mBytes += r.end - r.first;
    }
}

bool ByteRanges::covers(int64_t first, int64_t end) const {
    return std::any_of(mRanges.begin(), mRanges.end(),
                       [&](const Range& r) { return r.first <= first && r.end >= end; });
}

std::vector<ByteRanges::Range> ByteRanges::missing(int64_t total) const {
    std::vector<Range> gaps;
    int64_t at = 0;
    for (const Range& r : mRanges) {
        if (r.first >= total) {
            break;
        }
        if (r.first > at) {
            gaps.push_back({at, r.first});
        }
        at = std::max(at, r.end);
    }
    if (at < total) {
        gaps.push_back({at, total});
    }
    return gaps;
}

std::string ByteRanges::format() const {
    std::string text;
    for (const Range& r : mRanges) {
        text += (text.empty() ? "" : " ") + std::to_string(r.first) + "-" + std::to_string(r.end);
    }
    return text;
}

std::optional<ByteRanges> ByteRanges::parse(const std::string& text) {
    ByteRanges set;
    size_t pos = 0;
    int64_t previousEnd = -1;
    while (pos < text.size()) {
        const size_t space = std::min(text.find(' ', pos), text.size());
        const std::string_view item(text.data() + pos, space - pos);
        const size_t dash = item.find('-');
        if (dash == std::string_view::npos) {
            return std::nullopt;
        }
        const auto first = parseCount(item.substr(0, dash));
        const auto end = parseCount(item.substr(dash + 1));
        // Written sorted and apart; anything else was not written by us.
        if (!first || !end || *first >= *end || *first <= previousEnd) {
            return std::nullopt;
        }
        set.add(*first, *end);
        previousEnd = *end;
        pos = space + 1;
    }
    return set;
}

std::optional<PartialRecord> PartialRecord::load(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536) {
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) {
            return std::nullopt;  // cut short: not written whole
        }
        lines.emplace_back(text.substr(pos, eol - pos));
        pos = eol + 1;
    }
    if ((lines.size() != 4 && lines.size() != 5) || lines[0] != kMagic || lines[2].empty()) {
        return std::nullopt;
    }
    const auto total = parseCount(lines[3]);
    if (!total || *total <= 0) {
        return std::nullopt;
    }
    PartialRecord record{lines[1], lines[2], *total, std::nullopt};
    if (lines.size() == 5) {
        if (!lines[4].starts_with(kDonePrefix)) {
            return std::nullopt;
        }
        record.done = ByteRanges::parse(lines[4].substr(std::string_view(kDonePrefix).size()));
        if (!record.done ||
            (!record.done->ranges().empty() && record.done->ranges().back().end > record.total)) {
            return std::nullopt;
        }
    }
    return record;
}

bool PartialRecord::save(const std::string& path) const {
    if (url.find('\n') != std::string::npos || validator.find('\n') != std::string::npos) {
        return false;
    }
    std::string text =
        std::string(kMagic) + "\n" + url + "\n" + validator + "\n" + std::to_string(total) + "\n";
    if (done) {
        text += kDonePrefix + done->format() + "\n";
    }
    std::string tmpl = path + ".XXXXXX";
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 &&
              ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmpl.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpl.c_str());
    }
    return ok;
}

}  // namespace corvane
