#include "tally/batch.h"

#include <limits>
#include <string>

#include "tally/crc32.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_header.h"

namespace tally {

Result<ByteBuffer> assembleBatch(std::int64_t productId, TableFormat& publicTable,
                                 const TallyPayload& publicPayload, TableFormat& table,
                                 const TallyPayload& payload) {
    try {
        // The header's product field is 32 bits: a larger id would reach the server as another
        // product's.
        if (productId < 0 || productId > std::numeric_limits<std::uint32_t>::max()) {
            const std::string text =
                "product id " + std::to_string(productId) + " is outside 0..4294967295";
            VoLogUtil::e("assembleBatch => ERROR: " + text);
            return TallyFailure{TallyError::data_invalid, text};
        }

        ByteBuffer buffer;
        if (auto failure = publicTable.tryWrite(buffer, publicPayload)) {
            return *std::move(failure);
        }
        if (auto failure = table.tryWrite(buffer, payload)) {
            return *std::move(failure);
        }

        const std::size_t total = buffer.size() + kHeaderSize;
        if (total > kMaxBatchSize) {
            const std::string text = "the batch of tables '" +
                                     publicTable.getTableName().value_or("") + "' and '" +
                                     table.getTableName().value_or("") + "' would be " +
                                     std::to_string(total) + " bytes, more than 65535";
            VoLogUtil::e("assembleBatch => ERROR: " + text);
            return TallyFailure{TallyError::data_invalid, text};
        }

        VoTallyHeader header;
        header.size = static_cast<std::uint16_t>(total);
        header.product = static_cast<std::uint32_t>(productId);
        header.count = kBatchRecordCount;
        header.version = kBatchVersion;
        header.crc32 = crc32(0, std::span<const std::uint8_t>(buffer));

        const auto head = header.getHeaderData();
        buffer.insert(buffer.begin(), head.begin(), head.end());
        return buffer;
    } catch (const std::exception& e) {
        return TallyFailure{TallyError::data_invalid, e.what()};
    }
}

}  // namespace tally
