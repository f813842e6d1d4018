#include "tally/crc32.h"

#include <zlib.h>

namespace tally {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr std::size_t kZlibFrom = 512;

// tables[0] is the standard table; tables[k][i] is the register after byte i followed by k zero
// bytes, which lets one pass fold eight input bytes with eight independent lookups.
using SliceTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr SliceTables makeTables() {
    SliceTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t reg = i;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 1u) ? (reg >> 1) ^ kPolynomial : reg >> 1;
        }
        t[0][i] = reg;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint32_t prev = t[k - 1][i];
            t[k][i] = t[0][prev & 0xFFu] ^ (prev >> 8);
        }
    }
    return t;
}

constexpr SliceTables kTables = makeTables();

static_assert(kTables[0][1] == 0x77073096u, "standard CRC-32 table");
static_assert(kTables[0][255] == 0x2D02EF8Du, "standard CRC-32 table");

inline std::uint32_t load32(const std::uint8_t* p) {
    // Assembled byte by byte so the result is the same on any host byte order.
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

const std::array<std::uint32_t, 256> crcTable = kTables[0];

std::uint32_t crc32(std::uint32_t crc, const void* buffer, std::size_t length) {
    if (buffer == nullptr) {
        return 0;
    }
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    // From about 512 bytes on zlib's braided loop is faster than eight-byte slicing; below that
    // its fixed cost per call (about 100 ns here) dominates, and most batches are that small.
    // tally_bench measures both.
    if (length >= kZlibFrom) {
        return static_cast<std::uint32_t>(::crc32_z(crc, p, length));
    }
    std::uint32_t reg = ~crc;
    while (length >= 8) {
        const std::uint32_t lo = load32(p) ^ reg;
        const std::uint32_t hi = load32(p + 4);
        reg = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^
              kTables[5][(lo >> 16) & 0xFFu] ^ kTables[4][lo >> 24] ^ kTables[3][hi & 0xFFu] ^
              kTables[2][(hi >> 8) & 0xFFu] ^ kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
        p += 8;
        length -= 8;
    }
    while (length > 0) {
        reg = kTables[0][(reg ^ *p) & 0xFFu] ^ (reg >> 8);
        ++p;
        --length;
    }
    return ~reg;
}

std::uint32_t crc32(std::uint32_t crc, std::optional<std::span<const std::uint8_t>> data) {
    if (!data) {
        return 0;
    }
    // An empty span may carry a null pointer; it still names a (zero-length) sequence.
    if (data->empty()) {
        return crc;
    }
    return crc32(crc, data->data(), data->size());
}

}  // namespace tally
