#pragma once
// Small byte utilities of the encoder: a fixed-width value's bytes, hexadecimal digits, the text
// operations (hex decoding, masking, search) and appending a field's value to a buffer.
#include <bit>
#include <concepts>
#include <cstdint>
#include <string_view>

#include "tally/key_format.h"
#include "tally/tally_value.h"

namespace tally {

class VoTallyUtil {
  public:
    // The bytes of a fixed-width integer, little-endian whatever the host, as many as the type
    // is wide (a 16-bit value gives 2 bytes, a byte gives 1).
    template <std::integral T>
    [[nodiscard]] static ByteBuffer toByteArray(T value) {
        using U = std::make_unsigned_t<T>;
        auto bits = static_cast<U>(value);
        ByteBuffer bytes(sizeof(T));
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            bytes[i] = static_cast<std::uint8_t>(bits & 0xFFu);
            if constexpr (sizeof(T) > 1) {
                bits = static_cast<U>(bits >> 8);
            }
        }
        return bytes;
    }

    // The number of one hexadecimal digit given as its character code ("0"-"9", "a"-"f",
    // "A"-"F"). Any other code logs "[VoTally] VoTallyUtil => error to convert byte to binary"
    // and gives 0.
    [[nodiscard]] static std::uint8_t getByteToBinary(std::uint8_t code);
};

// Hexadecimal text to bytes: n UTF-8 bytes give n / 2 bytes (a trailing odd digit is ignored); a
// digit that is not hexadecimal counts as 0 and logs one line per such digit.
[[nodiscard]] ByteBuffer toBinary(std::string_view text);

// The UTF-8 bytes of `text`, each XOR 0x5A (the masking of string fields), without a count.
[[nodiscard]] ByteBuffer encode(std::string_view text);

// The UTF-8 bytes of `text`, unchanged.
[[nodiscard]] ByteBuffer asByteArray(std::string_view text);

// The code of the first character of `text` as one byte. The caller passes a non-empty text
// whose first character's code is at most 255; otherwise the result is 0.
[[nodiscard]] std::uint8_t asCode(std::string_view text);

// The position, in characters (Unicode code points; a byte that is not valid UTF-8 counts as one
// character) from the start of `text`, of the first occurrence of `needle`; -1 when it does not
// occur or when `needle` is empty.
[[nodiscard]] std::int64_t findFirst(std::string_view text, std::string_view needle);

// The length of the well-formed UTF-8 sequence starting at byte `pos` of `text` (1 to 4), or 1
// when the bytes there are not well-formed UTF-8 (overlong forms, surrogates and values past
// U+10FFFF included). `pos` must be below text.size().
[[nodiscard]] std::size_t utf8SequenceLength(std::string_view text, std::size_t pos);

// Appends the first `typeSize` bytes of `field.getByteData()` when `field.isDataValid()`;
// otherwise throws TallyException(data_invalid) and appends nothing.
void appendTallyValue(ByteBuffer& buffer, const KeyFormat& field);

}  // namespace tally
