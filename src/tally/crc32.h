#pragma once
// The CRC-32 that guards a batch's records: ISO-HDLC / IEEE 802.3, the one zlib's crc32 computes
// (reflected polynomial 0xEDB88320, initial register and final XOR 0xFFFFFFFF). Pure functions,
// safe from any thread. Short inputs go through our own eight-bytes-per-pass table loop, long
// ones (512 bytes and more) through zlib's crc32_z, whichever is faster at that length.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tally {

// The standard 256-entry table: entry i is the register after shifting byte i through eight
// single-bit steps.
extern const std::array<std::uint32_t, 256> crcTable;

// The CRC after `length` bytes at `buffer`, continuing from `crc` (pass 0 to start; pass a
// previous result to continue over further bytes). A null `buffer` gives 0.
[[nodiscard]] std::uint32_t crc32(std::uint32_t crc, const void* buffer, std::size_t length);

// The same over a byte sequence; no sequence gives 0.
[[nodiscard]] std::uint32_t crc32(std::uint32_t crc,
                                  std::optional<std::span<const std::uint8_t>> data);

}  // namespace tally
