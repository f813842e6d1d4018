// Reading batches back: exact values, precise errors, and a round trip over random tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <random>
#include <string>

#include "tally/batch.h"
#include "tally/crc32.h"
#include "tally/decoder.h"
#include "tally/vo_tally_format.h"
#include "tally_test_util.h"

namespace tally {
namespace {

VoTallyFormat registryOf(std::string_view text) {
    auto result = VoTallyFormat::fromText(text);
    EXPECT_TRUE(result.ok());
    return result.ok() ? std::move(result).value() : VoTallyFormat();
}

using Field = std::optional<TallyValue>;
using Values = std::vector<std::pair<std::string, Field>>;

Values valuesOf(const DecodedRecord& record) {
    Values out;
    for (const auto& f : record.fields) {
        out.emplace_back(f.name, f.value);
    }
    return out;
}

class DecoderTest : public ::testing::Test {
  protected:
    VoTallyFormat format = registryOf(
        "pub:1 uuid:string ver:byte big:int64 raw:binary\n"
        "sample_table:7 a:byte f1:bit b:string f2:bit n:int s:short\n");

    ByteBuffer sampleBatch() {
        auto batch = assembleBatch(
            77, *format.getTable("pub"),
            {{"uuid", "安装-1"}, {"ver", 3}, {"big", std::int64_t{-5}}, {"raw", "0aFF"}},
            *format.getTable("sample_table"),
            {{"a", 5}, {"f1", true}, {"f2", false}, {"b", 42}, {"n", -9}, {"s", 65535}});
        EXPECT_TRUE(batch.ok());
        return batch.ok() ? batch.value() : ByteBuffer{};
    }
};

TEST_F(DecoderTest, HeaderChecksAndEveryFieldByName) {
    const ByteBuffer bytes = sampleBatch();
    auto decoded = decodeBatch(format, bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    const DecodedBatch& batch = decoded.value();
    EXPECT_EQ(batch.header.product, 77u);
    EXPECT_EQ(batch.header.count, 2);
    EXPECT_TRUE(batch.sizeOk);
    EXPECT_TRUE(batch.crcOk);
    ASSERT_EQ(batch.records.size(), 2u);

    const DecodedRecord& pub = batch.records[0];
    EXPECT_EQ(pub.tableName, "pub");
    EXPECT_EQ(pub.index, 1);
    EXPECT_EQ(pub.offset, 13u);
    EXPECT_EQ(pub.fields[3].type, "binary");
    EXPECT_EQ(valuesOf(pub),
              (Values{{"uuid", "安装-1"}, {"ver", 3}, {"big", -5}, {"raw", "0aff"}}));
    const DecodedRecord& event = batch.records[1];
    EXPECT_EQ(event.tableName, "sample_table");
    EXPECT_EQ(event.offset, 13u + pub.length);
    // A present bit field is set whatever its value; string fields render numbers as text.
    EXPECT_EQ(valuesOf(event),
              (Values{{"a", 5}, {"f1", true}, {"b", "42"}, {"f2", true}, {"n", -9}, {"s", 65535}}));
}

TEST_F(DecoderTest, ErrorsNameTheOffsetTableAndField) {
    const ByteBuffer good = sampleBatch();
    const auto with = [&](std::size_t at, std::uint8_t value) {
        ByteBuffer b = good;
        b.resize(std::max(b.size(), at + 1));
        b[at] = value;
        return b;
    };
    const std::size_t maskAt = 13 + decodeBatch(format, good).value().records[0].length + 2;
    const std::string end = std::to_string(good.size());
    const std::pair<ByteBuffer, std::string> rows[] = {
        {ByteBuffer(good.begin(), good.begin() + 12),
         "the batch has 12 bytes, fewer than the 13 of its header"},
        {with(2, 3), "the batch version at offset 2 is 3; only version 2 is known"},
        {with(13, 9), "record 1 of 2: record at offset 13: no table has the index 9"},
        {ByteBuffer(good.begin(), good.begin() + 20),
         "record 1 of 2: record at offset 13 (table 'pub', index 1): field 'uuid' (string) at "
         "offset 15 has a count of 8 bytes, only 3 bytes left"},
        {with(good.size(), 0),
         "1 byte left over after the last of the 2 records, at offset " + end},
        {ByteBuffer(good.begin(), good.end() - 1), "field 's' (short) at offset " +
                                                       std::to_string(good.size() - 2) +
                                                       " needs 2 bytes, 1 byte left"},
        {with(maskAt, 0x07), "the bit mask 07 at offset " + std::to_string(maskAt) +
                                 " sets bits past the table's 2 bit fields"},
    };
    for (const auto& [bytes, error] : rows) {
        auto decoded = decodeBatch(format, bytes);
        ASSERT_FALSE(decoded.ok()) << error;
        EXPECT_NE(decoded.error().find(error), std::string::npos) << decoded.error();
    }
}

TEST_F(DecoderTest, ClearBitsDecodeAsAbsentAndIndexesSharedByTwoTablesAreNamed) {
    ByteBuffer bytes = sampleBatch();
    const std::size_t maskAt = 13 + decodeBatch(format, bytes).value().records[0].length + 2;
    bytes[maskAt] = 0x02;
    auto decoded = decodeBatch(format, bytes);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().records[1].fields[1].value, TallyValue(false));
    EXPECT_EQ(decoded.value().records[1].fields[3].value, TallyValue(true));

    auto shared = registryOf("a:1\nb:1\n");
    const ByteBuffer record = {0x01, 0x00};
    auto result = decodeRecord(shared, record, 0);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(),
              "record at offset 0: the index 1 is shared by the tables 'a', 'b', so the record "
              "cannot be read");
}

TEST(DecoderBits, BitBytesAfterTheFirstMustBeZero) {
    std::string line = "t:3";
    TallyPayload payload;
    for (int i = 0; i < 10; ++i) {
        line += " b" + std::to_string(i) + ":bit";
        payload["b" + std::to_string(i)] = true;
    }
    auto format = registryOf(line);
    ByteBuffer bytes;
    format.getTable("t")->write(bytes, payload);
    bytes[3] = 1;
    auto bad = decodeRecord(format, bytes, 0);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(),
              "record at offset 0 (table 't', index 3): the bit byte at offset 3 is 01, not 00");
}

// Random tables and payloads, encoded and decoded, give back the same values.
TEST(RoundTrip, RandomTablesAndPayloadsComeBackUnchanged) {
    std::mt19937_64 rng(20240607);
    auto pick = [&](std::uint64_t n) { return static_cast<std::int64_t>(rng() % n); };
    const char* types[] = {"int", "int64", "short", "byte", "bit", "string", "binary"};
    const std::string alphabet[] = {"a", "Z", "0", " ", "=", "安", "é", "😀", "\t", "\x01"};
    // A value for a field of `type` and what must come back for it.
    auto value = [&](const std::string& type, std::size_t& bits) -> std::pair<TallyValue, Field> {
        const std::uint64_t range = type == "int" ? 1ULL << 32 : type == "short" ? 65536 : 256;
        if (type == "int64") {
            const auto v = static_cast<std::int64_t>(rng());
            return {v, TallyValue(v)};
        }
        if (type == "int" || type == "short" || type == "byte") {
            if (pick(8) == 0) {  // outside the range: comes back as 0
                return {static_cast<std::int64_t>(range / (type == "int" ? 2 : 1)) + pick(9), TallyValue(0)};
            }
            const std::int64_t v =
                pick(range) - static_cast<std::int64_t>(type == "int" ? range / 2 : 0);
            return {v, TallyValue(v)};
        }
        if (type == "bit") {
            return {pick(2) ? TallyValue(false) : TallyValue("any"),
                    bits++ < 8 ? Field(true) : std::nullopt};
        }
        std::string text;
        std::string lower;
        for (auto k = pick(30); type == "string" && k > 0; --k) {
            text += alphabet[pick(std::size(alphabet))];
        }
        for (auto k = 2 * pick(20); type == "binary" && k > 0; --k) {
            text += "0123456789abcdefABCDEF"[pick(22)];
            lower += static_cast<char>(std::tolower(text.back()));
        }
        return {text, TallyValue(type == "string" ? text : lower)};
    };

    for (int round = 0; round < 500; ++round) {
        const std::int64_t indexes[2] = {pick(65536), pick(65536)};
        if (indexes[0] == indexes[1]) {
            continue;
        }
        std::string text;
        TallyPayload payloads[2];
        Values expected[2];
        for (std::size_t t = 0; t < 2; ++t) {
            text += "t" + std::to_string(t) + ":" + std::to_string(indexes[t]);
            std::size_t bits = 0;
            for (std::int64_t f = pick(14); f > 0; --f) {
                const std::string name = "f" + std::to_string(f);
                const std::string type = types[pick(7)];
                text += " " + name + ":" + type;
                auto [in, out] = value(type, bits);
                payloads[t][name] = in;
                expected[t].emplace_back(name, out);
            }
            text += round % 2 ? "\r\n" : "\n";
        }
        auto format = registryOf(text);
        const auto product = pick(4294967296ULL);
        auto batch = assembleBatch(product, *format.getTable("t0"), payloads[0],
                                   *format.getTable("t1"), payloads[1]);
        ASSERT_TRUE(batch.ok()) << text << batch.error().description;
        auto decoded = decodeBatch(format, batch.value());
        ASSERT_TRUE(decoded.ok()) << text << decoded.error();
        const DecodedBatch& out = decoded.value();
        EXPECT_TRUE(out.sizeOk && out.crcOk) << text;
        EXPECT_EQ(out.header.product, static_cast<std::uint32_t>(product));
        ASSERT_EQ(out.records.size(), 2u);
        for (std::size_t t = 0; t < 2; ++t) {
            EXPECT_EQ(out.records[t].tableName, "t" + std::to_string(t));
            EXPECT_EQ(out.records[t].index, indexes[t]);
            EXPECT_EQ(valuesOf(out.records[t]), expected[t]) << "round " << round << "\n" << text;
        }
    }
}

}  // namespace
}  // namespace tally
