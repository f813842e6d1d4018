// Batches: header, CRC-32, limits, reading back with exact values and errors, round trips.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <random>
#include <string>

#include "tally/batch.h"
#include "tally/crc32.h"
#include "tally/decoder.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_format.h"
#include "tally/vo_tally_header.h"
#include "tally_test_util.h"

namespace tally {
namespace {

using test::bytesOf;
using test::hexOf;

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
    ASSERT_EQ(batch.records.size(), 2u);

    const DecodedRecord& pub = batch.records[0];
    EXPECT_EQ(pub.tableName, "pub");
    EXPECT_EQ(pub.index, 1);
    EXPECT_EQ(pub.offset, 13u);
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
                return {static_cast<std::int64_t>(range / (type == "int" ? 2 : 1)) + pick(9),
                        TallyValue(0)};
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

TEST(Crc32, CheckValueEmptyInputAndZlibAgreementOnEveryLengthAndAlignment) {
    const ByteBuffer digits = bytesOf("123456789");
    EXPECT_EQ(crc32(0, std::span<const std::uint8_t>(digits)), 0xCBF43926u);
    EXPECT_EQ(crc32(0, std::nullopt), 0u);
    EXPECT_EQ(crc32(0x1234, nullptr, 5), 0u) << "a null pointer gives 0";
    EXPECT_EQ(crcTable[128], 0xEDB88320u);

    std::mt19937 rng(7);
    ByteBuffer data(4096 + 13);
    for (auto& b : data) {
        b = static_cast<std::uint8_t>(rng());
    }
    const auto zlib = [&](std::size_t start, std::size_t len) {
        return static_cast<std::uint32_t>(::crc32(0, data.data() + start, static_cast<uInt>(len)));
    };
    // Both the eight-byte passes and the byte tail, at every alignment of the start.
    for (std::size_t start = 0; start < 8; ++start) {
        for (std::size_t len = 0; len <= 64; ++len) {
            ASSERT_EQ(crc32(0, data.data() + start, len), zlib(start, len)) << start << " " << len;
        }
    }
    // Around the length where long buffers go to zlib, and continued across the two engines.
    for (std::size_t len = 500; len <= 530; ++len) {
        ASSERT_EQ(crc32(0, data.data(), len), zlib(0, len)) << len;
        ASSERT_EQ(crc32(crc32(0, data.data(), 7), data.data() + 7, len - 7), zlib(0, len)) << len;
        ASSERT_EQ(crc32(crc32(0, data.data(), len - 9), data.data() + len - 9, 9), zlib(0, len));
    }
    const auto first = crc32(0, data.data(), 1000);
    EXPECT_EQ(crc32(first, data.data() + 1000, data.size() - 1000), zlib(0, data.size()));
}

class BatchTest : public ::testing::Test {
  protected:
    VoTallyFormat format = registryOf(
        "pub:1 s:string\nevent:2 s:string\nsample_table:7 a:byte f1:bit b:string f2:bit\n");
    TableFormat& table(std::string_view name) { return *format.getTable(name); }
};

TEST_F(BatchTest, RecordsOf20And30BytesMakeA63ByteBatch) {
    // Index (2) + count (2) + text: 16 and 26 characters give records of 20 and 30 bytes.
    const TallyPayload pub = {{"s", std::string(16, 'p')}};
    const TallyPayload event = {{"s", std::string(26, 'e')}};
    auto batch = assembleBatch(42, table("pub"), pub, table("event"), event);
    ASSERT_TRUE(batch.ok()) << batch.error().description;
    const ByteBuffer& b = batch.value();
    ASSERT_EQ(b.size(), 63u);
    // Size, version, product and count, little-endian, then the CRC-32 of the records.
    EXPECT_EQ(hexOf(ByteBuffer(b.begin(), b.begin() + 9)), "3F 00 02 2A 00 00 00 02 00");
    EXPECT_EQ(VoTallyHeader::fromBytes(b)->crc32, crc32(0, b.data() + 13, 50));
    EXPECT_FALSE(VoTallyHeader::fromBytes(std::span(b).first(12)));
    EXPECT_EQ(b[13], 1) << "the public record comes first";
    EXPECT_EQ(b[13 + 20], 2);
}

TEST_F(BatchTest, ProductIdsOutside32BitsAreRefusedWithOneLogLine) {
    ScopedVoLogCapture log;
    const TallyPayload p = {{"s", "x"}};
    for (std::int64_t id : {std::int64_t{4294967296LL}, std::int64_t{-1}}) {
        auto batch = assembleBatch(id, table("pub"), p, table("event"), p);
        ASSERT_FALSE(batch.ok());
        EXPECT_EQ(batch.error().error, TallyError::data_invalid);
    }
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(log.contains(
        "[VoTally] assembleBatch => ERROR: product id 4294967296 is outside 0..4294967295"));
    for (std::int64_t id : {std::int64_t{4294967295LL}, std::int64_t{0}}) {
        auto batch = assembleBatch(id, table("pub"), p, table("event"), p);
        ASSERT_TRUE(batch.ok());
        EXPECT_EQ(VoTallyHeader::fromBytes(batch.value())->product, static_cast<std::uint32_t>(id));
    }
}

TEST_F(BatchTest, ABatchOver65535BytesIsRefusedNeverCut) {
    // 13 + (4 + a) + (4 + b) bytes: the largest batch has a + b = 65514.
    const TallyPayload pub = {{"s", std::string(32757, 'a')}};
    const TallyPayload fits = {{"s", std::string(32757, 'b')}};
    const TallyPayload over = {{"s", std::string(32758, 'b')}};
    auto ok = assembleBatch(1, table("pub"), pub, table("event"), fits);
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok.value().size(), 65535u);

    ScopedVoLogCapture log;
    auto refused = assembleBatch(1, table("pub"), pub, table("event"), over);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().error, TallyError::data_invalid);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[VoTally] assembleBatch => ERROR: the batch of tables "
                                       "'pub' and 'event' would be 65536 bytes, more than 65535"});
}

}  // namespace
}  // namespace tally
