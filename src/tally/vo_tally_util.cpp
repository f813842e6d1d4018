#include "tally/vo_tally_util.h"

#include <cstddef>
#include <string>

#include "tally/vo_log_util.h"

namespace tally {

std::uint8_t VoTallyUtil::getByteToBinary(std::uint8_t code) {
    if (code >= '0' && code <= '9') {
        return static_cast<std::uint8_t>(code - '0');
    }
    if (code >= 'a' && code <= 'f') {
        return static_cast<std::uint8_t>(code - 'a' + 10);
    }
    if (code >= 'A' && code <= 'F') {
        return static_cast<std::uint8_t>(code - 'A' + 10);
    }
    VoLogUtil::e("VoTallyUtil => error to convert byte to binary");
    return 0;
}

ByteBuffer toBinary(std::string_view text) {
    const std::size_t count = text.size() / 2;
    ByteBuffer result(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto hi = VoTallyUtil::getByteToBinary(static_cast<std::uint8_t>(text[2 * i]));
        const auto lo = VoTallyUtil::getByteToBinary(static_cast<std::uint8_t>(text[2 * i + 1]));
        result[i] = static_cast<std::uint8_t>((hi & 0x0F) * 16 + lo);
    }
    return result;
}

ByteBuffer encode(std::string_view text) {
    ByteBuffer result(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        result[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[i]) ^ 0x5Au);
    }
    return result;
}

ByteBuffer asByteArray(std::string_view text) {
    return ByteBuffer(reinterpret_cast<const std::uint8_t*>(text.data()),
                      reinterpret_cast<const std::uint8_t*>(text.data()) + text.size());
}

std::size_t utf8SequenceLength(std::string_view text, std::size_t pos) {
    auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = at(pos);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    // The allowed range of the second byte narrows for the leads whose shortest forms,
    // surrogates or values past U+10FFFF would otherwise slip through.
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 1;
    }
    if (pos + length > text.size()) {
        return 1;
    }
    if (at(pos + 1) < low || at(pos + 1) > high) {
        return 1;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (at(pos + i) < 0x80 || at(pos + i) > 0xBF) {
            return 1;
        }
    }
    return length;
}

std::uint8_t asCode(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const std::size_t length = utf8SequenceLength(text, 0);
    const auto lead = static_cast<std::uint8_t>(text[0]);
    if (length == 1) {
        return lead < 0x80 ? lead : 0;
    }
    // Only two-byte sequences (U+0080..U+07FF) can hold a code up to 255.
    if (length == 2) {
        const auto code = static_cast<unsigned>(((lead & 0x1Fu) << 6) |
                                                (static_cast<std::uint8_t>(text[1]) & 0x3Fu));
        return code <= 0xFF ? static_cast<std::uint8_t>(code) : 0;
    }
    return 0;
}

std::int64_t findFirst(std::string_view text, std::string_view needle) {
    if (needle.empty()) {
        return -1;
    }
    const std::size_t bytePos = text.find(needle);
    if (bytePos == std::string_view::npos) {
        return -1;
    }
    std::int64_t characters = 0;
    std::size_t pos = 0;
    while (pos < bytePos) {
        pos += utf8SequenceLength(text, pos);
        ++characters;
    }
    return characters;
}

void appendTallyValue(ByteBuffer& buffer, const KeyFormat& field) {
    if (!field.isDataValid()) {
        const std::string kind =
            field.keyValue ? std::string(kindName(*field.keyValue)) : std::string("no value");
        throw TallyException(TallyError::data_invalid, "field '" + field.keyName.value_or("") +
                                                           "' (" + field.keyType.value_or("") +
                                                           ") does not accept " + kind);
    }
    const ByteBuffer bytes = field.getByteData();
    const auto width = static_cast<std::size_t>(field.typeSize < 0 ? 0 : field.typeSize);
    const std::size_t n = width < bytes.size() ? width : bytes.size();
    buffer.insert(buffer.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace tally
