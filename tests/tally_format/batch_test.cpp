// Batches: the 13-byte header, the CRC-32 over the records, and the limits of the format.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "tally/batch.h"
#include "tally/crc32.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_format.h"
#include "tally/vo_tally_header.h"
#include "tally_test_util.h"

namespace tally {
namespace {

using test::bytesOf;
using test::hexOf;

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
    void SetUp() override {
        auto loaded = VoTallyFormat::fromText(
            "pub:1 s:string\n"
            "event:2 s:string\n"
            "sample_table:7 a:byte f1:bit b:string f2:bit\n");
        ASSERT_TRUE(loaded.ok());
        format = std::move(loaded).value();
    }
    TableFormat& table(std::string_view name) { return *format.getTable(name); }

    VoTallyFormat format;
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

TEST_F(BatchTest, PayloadFailuresComeBackAsValuesWithoutALogLine) {
    ScopedVoLogCapture log;
    auto missing = assembleBatch(1, table("pub"), {}, table("event"), {{"s", "x"}});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().error, TallyError::parse);
    EXPECT_EQ(missing.error().description, "table 'pub': field 's' (string) has no value");
    auto second = assembleBatch(1, table("pub"), {{"s", "x"}}, table("sample_table"),
                                {{"a", "5"}, {"f1", 1}, {"f2", 1}, {"b", ""}});
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().error, TallyError::data_invalid);
    EXPECT_TRUE(log.lines().empty());
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
