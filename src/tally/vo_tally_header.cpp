#include "tally/vo_tally_header.h"

namespace tally {
namespace {

template <class T>
void put(std::array<std::uint8_t, kHeaderSize>& out, std::size_t& at, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[at++] =
            static_cast<std::uint8_t>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFFu);
    }
}

template <class T>
T get(std::span<const std::uint8_t> in, std::size_t& at) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v |= static_cast<std::uint64_t>(in[at++]) << (8 * i);
    }
    return static_cast<T>(v);
}

}  // namespace

std::array<std::uint8_t, kHeaderSize> VoTallyHeader::getHeaderData() const {
    std::array<std::uint8_t, kHeaderSize> out{};
    std::size_t at = 0;
    put(out, at, size);
    put(out, at, version);
    put(out, at, product);
    put(out, at, count);
    put(out, at, crc32);
    return out;
}

std::optional<VoTallyHeader> VoTallyHeader::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) {
        return std::nullopt;
    }
    VoTallyHeader h;
    std::size_t at = 0;
    h.size = get<std::uint16_t>(bytes, at);
    h.version = get<std::uint8_t>(bytes, at);
    h.product = get<std::uint32_t>(bytes, at);
    h.count = get<std::uint16_t>(bytes, at);
    h.crc32 = get<std::uint32_t>(bytes, at);
    return h;
}

}  // namespace tally
