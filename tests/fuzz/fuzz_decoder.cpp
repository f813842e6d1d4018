// The batch decoder on arbitrary bytes, against a registry with every field type. Beyond not
// crashing: a decoded batch accounts for every byte, and its records, written again from the
// decoded values, give back exactly the input's bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_common.h"
#include "tally/decoder.h"
#include "tally/vo_tally_format.h"

namespace {

const tally::VoTallyFormat& registry() {
    static const tally::VoTallyFormat format =
        tally::VoTallyFormat::fromText(
            "pub:1 type:byte uuid:string ver:short big:int64 n:int raw:binary\n"
            "sample_table:7 a:byte f1:bit b:string f2:bit\n"
            "flags:258 f0:bit f1:bit f2:bit f3:bit f4:bit f5:bit f6:bit f7:bit f8:bit f9:bit "
            "tail:short\n"
            "empty:0\n"
            "twin_a:9 x:byte\n"
            "twin_b:9 y:short\n")
            .value();
    return format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tally::fuzz::quietLog();
    const std::span<const std::uint8_t> bytes(data, size);
    auto decoded = tally::decodeBatch(registry(), bytes);
    if (!decoded) {
        return 0;
    }
    const tally::DecodedBatch& batch = decoded.value();
    FUZZ_CHECK(batch.records.size() == batch.header.count);
    std::size_t end = tally::kHeaderSize;
    for (const auto& record : batch.records) {
        FUZZ_CHECK(record.offset == end);
        end += record.length;

        const tally::TableFormat* definition = registry().getTable(record.tableName);
        FUZZ_CHECK(definition != nullptr);
        tally::TallyPayload payload;
        bool allBitsSet = true;
        for (const auto& field : record.fields) {
            if (field.type == "bit") {
                allBitsSet = allBitsSet && (!field.value || field.value->boolean());
                payload[field.name] = true;
            } else {
                FUZZ_CHECK(field.value.has_value());
                payload[field.name] = *field.value;
            }
        }
        // The writer sets every present bit, so only such records can come back byte for byte.
        if (!allBitsSet) {
            continue;
        }
        tally::TableFormat table = *definition;
        tally::ByteBuffer again;
        FUZZ_CHECK(!table.tryWrite(again, payload));
        FUZZ_CHECK(again.size() == record.length);
        FUZZ_CHECK(std::equal(again.begin(), again.end(),
                              bytes.begin() + static_cast<std::ptrdiff_t>(record.offset)));
    }
    FUZZ_CHECK(end == size);
    return 0;
}
