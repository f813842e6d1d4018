#include "platform/text.h"

#include <charconv>

namespace corvane::platform {

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        // The ranges of the second byte exclude overlong forms (E0, F0), surrogates (ED) and
        // values past U+10FFFF (F4); every later byte is a plain continuation byte.
        size_t len = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) {
                lo = 0xA0;
            } else if (c == 0xED) {
                hi = 0x9F;
            }
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) {
                lo = 0x90;
            } else if (c == 0xF4) {
                hi = 0x8F;
            }
        } else {
            return false;
        }
        if (len > n - i) {
            return false;
        }
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            const unsigned char min = k == 1 ? lo : 0x80;
            const unsigned char max = k == 1 ? hi : 0xBF;
            if (cc < min || cc > max) {
                return false;
            }
        }
        i += len;
    }
    return true;
}

std::optional<int64_t> parseDecimalInteger(std::string_view text) {
    // from_chars takes a leading "-" but not a "+"; a "+" may not be followed by another sign.
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace corvane::platform
