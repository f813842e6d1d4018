// The definition parser on arbitrary text. Beyond not crashing: every registered table is well
// formed, can be found by its name, and a record written for it decodes back to its own length.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_common.h"
#include "tally/decoder.h"
#include "tally/vo_tally_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tally::fuzz::quietLog();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto loaded = tally::VoTallyFormat::fromText(text);
    if (!loaded) {
        return 0;
    }
    tally::VoTallyFormat& format = loaded.value();
    for (const auto& [name, table] : format.tables()) {
        FUZZ_CHECK(!table.parseProblem());
        FUZZ_CHECK(table.getTableName() == name);
        FUZZ_CHECK(format.getTable(name) == &table);
        FUZZ_CHECK(name.find(' ') == std::string::npos && name.find(':') == std::string::npos);
    }
    for (const auto& [name, constTable] : format.tables()) {
        tally::TableFormat table = constTable;
        // Strings and bits take any value, fixed-width fields need an integer, binaries text; a
        // name shared by an integer field and a binary one cannot satisfy both.
        std::map<std::string, std::pair<bool, bool>> needs;  // name -> (integer, text)
        for (const auto& field : table.getFields()) {
            const std::string& type = *field->keyType;
            auto& [integer, hexText] = needs[*field->keyName];
            integer = integer || (type != "string" && type != "bit" && type != "binary");
            hexText = hexText || type == "binary";
        }
        tally::TallyPayload payload;
        bool conflict = false;
        for (const auto& [fieldName, need] : needs) {
            conflict = conflict || (need.first && need.second);
            payload[fieldName] = need.second  ? tally::TallyValue("c0ffee")
                                 : need.first ? tally::TallyValue(200)
                                              : tally::TallyValue("é=x");
        }
        tally::ByteBuffer record;
        const auto failure = table.tryWrite(record, payload);
        const auto index = table.getTableIndex();
        const bool writable = index && *index >= 0 && *index <= 65535;
        if (!conflict) {
            FUZZ_CHECK(failure.has_value() != writable);
        }
        if (failure || format.tablesWithIndex(*index).size() != 1) {
            continue;
        }
        auto decoded = tally::decodeRecord(format, record, 0);
        FUZZ_CHECK(decoded.ok());
        FUZZ_CHECK(decoded.value().length == record.size());
        FUZZ_CHECK(decoded.value().fields.size() == table.getFields().size());
    }
    return 0;
}
