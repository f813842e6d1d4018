#pragma once
// The 13-byte header in front of a batch's records.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tally {

inline constexpr std::size_t kHeaderSize = 13;
inline constexpr std::uint8_t kBatchVersion = 2;
inline constexpr std::uint16_t kBatchRecordCount = 2;
// The largest batch: its length must fit the 16-bit `size` field.
inline constexpr std::size_t kMaxBatchSize = 65535;

struct VoTallyHeader {
    std::uint16_t size = 0;     // length of the whole batch, header included
    std::uint8_t version = 0;   // 2
    std::uint32_t product = 0;  // the product id
    std::uint16_t count = 0;    // number of records: 2
    std::uint32_t crc32 = 0;    // CRC-32 of every byte after the header

    // The five fields packed in this order, little-endian: 13 bytes.
    [[nodiscard]] std::array<std::uint8_t, kHeaderSize> getHeaderData() const;

    // Reads the five fields from the first 13 bytes of `bytes`; none when there are fewer.
    [[nodiscard]] static std::optional<VoTallyHeader> fromBytes(
        std::span<const std::uint8_t> bytes);

    friend bool operator==(const VoTallyHeader&, const VoTallyHeader&) = default;
};

}  // namespace tally
