#pragma once
// Reading batches back: the inverse of the record writer, using the same table registry.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tally/tally_result.h"
#include "tally/tally_value.h"
#include "tally/vo_tally_format.h"
#include "tally/vo_tally_header.h"

namespace tally {

struct DecodedField {
    std::string name;
    std::string type;  // the type keyword
    // "int", "int64", "short", "byte": the integer; "string": the unmasked text (raw bytes, not
    // checked for UTF-8); "binary": the bytes as lower-case hexadecimal text; "bit": whether its
    // bit is set. None for a bit field past the eighth, whose bit the format does not carry.
    std::optional<TallyValue> value;
    std::size_t offset = 0;  // of the field's bytes (its bit byte for a bit field), in the input
};

struct DecodedRecord {
    std::string tableName;
    std::int64_t index = 0;
    std::size_t offset = 0;            // of the record's first byte in the input
    std::size_t length = 0;            // bytes
    std::vector<DecodedField> fields;  // in definition order, bit fields included
};

struct DecodedBatch {
    VoTallyHeader header;
    std::size_t actualSize = 0;          // bytes given
    bool sizeOk = false;                 // header.size == actualSize
    std::uint32_t actualCrc = 0;         // CRC-32 of the bytes after the header
    bool crcOk = false;                  // header.crc32 == actualCrc
    std::vector<DecodedRecord> records;  // header.count of them
};

// Decodes one record starting at `offset` of `bytes`: finds the table whose index the record
// starts with and reads its fields. Fails with a sentence naming the offset and, where known,
// the table and field: too few bytes, an index no table has, an index two tables share, a bit
// mask other than the writer's (bits set past the bit fields, non-zero further bit bytes), a
// string or binary count that runs past the end.
[[nodiscard]] Result<DecodedRecord, std::string> decodeRecord(const VoTallyFormat& format,
                                                              std::span<const std::uint8_t> bytes,
                                                              std::size_t offset);

// Decodes a batch: the header, then header.count records back to back, which must end exactly at
// the end of `bytes`. A size or CRC that does not match is reported in the result, not as a
// failure. Fails (with a sentence naming the offset) when there are fewer than 13 bytes, the
// version is not 2, a record does not decode, or bytes are left over after the last record.
[[nodiscard]] Result<DecodedBatch, std::string> decodeBatch(const VoTallyFormat& format,
                                                            std::span<const std::uint8_t> bytes);

}  // namespace tally
