#pragma once
// Helpers shared by the encoder's tests: byte buffers written as hex text, tables from one line.
#include <cstdint>
#include <string>
#include <string_view>

#include "tally/table_format.h"
#include "tally/tally_value.h"

namespace tally::test {

// "07 00 03" for the bytes 07 00 03 (upper-case, space separated) so failures read like the
// wire dumps support engineers compare against.
inline std::string hexOf(const ByteBuffer& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

inline ByteBuffer bytesOf(std::string_view text) {
    return ByteBuffer(text.begin(), text.end());
}

}  // namespace tally::test
