#pragma once
// Assembling one batch: the 13-byte header, the public record and the event record.
#include <cstdint>

#include "tally/table_format.h"
#include "tally/tally_result.h"
#include "tally/tally_value.h"

namespace tally {

// Writes the public record (`publicTable` with `publicPayload`) and then the event record
// (`table` with `payload`), and puts the header in front: size = 13 + both records, version 2,
// `productId`, count 2, and the CRC-32 of the records alone. Never throws.
//
// Fails with the write's failure (parse or data_invalid, see TableFormat::write) when a record
// does not encode; with data_invalid and one log line when the batch would exceed 65535 bytes or
// `productId` is outside 0..4294967295, so no length or id field is ever cut. Ordinary payload
// failures (a missing field, a value of the wrong kind) are not logged here: the caller logs them.
// The tables' fields keep the values of the last write, as TableFormat::write leaves them.
[[nodiscard]] Result<ByteBuffer> assembleBatch(std::int64_t productId, TableFormat& publicTable,
                                               const TallyPayload& publicPayload,
                                               TableFormat& table, const TallyPayload& payload);

}  // namespace tally
