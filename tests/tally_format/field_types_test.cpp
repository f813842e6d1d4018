// The seven field types: which values each accepts and the exact bytes it writes.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tally/key_format.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_util.h"
#include "tally_test_util.h"

namespace tally {
namespace {

using test::hexOf;
using test::written;

constexpr std::string_view kHexLog = "[VoTally] VoTallyUtil => error to convert byte to binary";

TEST(FixedWidthFields, IntIsSigned32BitLittleEndianAndZeroOutsideItsRange) {
    EXPECT_EQ(hexOf(written<IntKeyFormat>(1)), "01 00 00 00");
    EXPECT_EQ(hexOf(written<IntKeyFormat>(-1)), "FF FF FF FF");
    EXPECT_EQ(hexOf(written<IntKeyFormat>(std::int64_t{2147483647})), "FF FF FF 7F");
    EXPECT_EQ(hexOf(written<IntKeyFormat>(std::int64_t{-2147483648LL})), "00 00 00 80");
    EXPECT_EQ(hexOf(written<IntKeyFormat>(std::int64_t{2147483648LL})), "00 00 00 00");
    EXPECT_EQ(hexOf(written<IntKeyFormat>(std::int64_t{-2147483649LL})), "00 00 00 00");
}

TEST(FixedWidthFields, Int64IsTwosComplementLittleEndian) {
    EXPECT_EQ(hexOf(written<Int64KeyFormat>(-2)), "FE FF FF FF FF FF FF FF");
    EXPECT_EQ(hexOf(written<Int64KeyFormat>(std::numeric_limits<std::int64_t>::min())),
              "00 00 00 00 00 00 00 80");
    EXPECT_EQ(hexOf(written<Int64KeyFormat>(std::int64_t{0x0102030405060708})),
              "08 07 06 05 04 03 02 01");
}

TEST(FixedWidthFields, ShortAndByteAreUnsignedSoNegativeValuesBecomeZero) {
    EXPECT_EQ(hexOf(written<ShortKeyFormat>(65535)), "FF FF");
    EXPECT_EQ(hexOf(written<ShortKeyFormat>(0x1234)), "34 12");
    EXPECT_EQ(hexOf(written<ShortKeyFormat>(65536)), "00 00");
    EXPECT_EQ(hexOf(written<ShortKeyFormat>(-1)), "00 00");
    EXPECT_EQ(hexOf(written<ByteKeyFormat>(255)), "FF");
    EXPECT_EQ(hexOf(written<ByteKeyFormat>(256)), "00");
    EXPECT_EQ(hexOf(written<ByteKeyFormat>(-1)), "00");
}

TEST(FixedWidthFields, OnlyIntegersAreAcceptableAndTextIsNeverParsed) {
    IntKeyFormat field("n");
    EXPECT_FALSE(field.isDataValid());  // no value
    field.keyValue = TallyValue("5");
    EXPECT_FALSE(field.isDataValid());
    field.keyValue = TallyValue(true);
    EXPECT_FALSE(field.isDataValid());
    field.keyValue = TallyValue(5);
    EXPECT_TRUE(field.isDataValid());

    ByteKeyFormat text("b");
    text.keyValue = TallyValue("5");
    ByteBuffer out{0xAA};
    EXPECT_THROW(appendTallyValue(out, text), TallyException);
    EXPECT_EQ(hexOf(out), "AA") << "a refused value appends nothing";
    try {
        appendTallyValue(out, text);
    } catch (const TallyException& e) {
        EXPECT_EQ(e.error(), TallyError::data_invalid);
        EXPECT_EQ(std::string(e.what()), "field 'b' (byte) does not accept text");
    }
    // A field writing itself does not ask: the table writer asks before it appends.
    ByteBuffer direct;
    text.write(direct);
    EXPECT_EQ(hexOf(direct), "00");
}

TEST(FixedWidthFields, TypeKeywordsAndWidthsComeFromTheKeyword) {
    const std::vector<std::pair<std::string, std::ptrdiff_t>> expected = {
        {"int", 4}, {"int64", 8},  {"short", 2}, {"byte", 1},
        {"bit", 0}, {"string", 0}, {"binary", 0}};
    for (const auto& [keyword, size] : expected) {
        auto field = makeKeyFormat(keyword, "x");
        ASSERT_NE(field, nullptr) << keyword;
        EXPECT_EQ(field->keyType, keyword);
        EXPECT_EQ(field->keyName, "x");
        EXPECT_EQ(field->typeSize, size) << keyword;
        EXPECT_EQ(field->clone()->keyType, keyword) << "a copy keeps its type";
    }
    EXPECT_EQ(makeKeyFormat("Int", "x"), nullptr);
    EXPECT_EQ(makeKeyFormat("float", "x"), nullptr);
    EXPECT_EQ(makeKeyFormat("", "x"), nullptr);
}

TEST(StringField, WritesAByteCountThenTheMaskedUtf8Bytes) {
    // "4" ^ 0x5A = 0x6E, "2" ^ 0x5A = 0x68.
    EXPECT_EQ(hexOf(written<StringKeyFormat>(42)), "02 00 6E 68");
    EXPECT_EQ(hexOf(written<StringKeyFormat>(-7)), "02 00 77 6D");
    EXPECT_EQ(hexOf(written<StringKeyFormat>(true)), "04 00 2E 28 2F 3F");
    EXPECT_EQ(hexOf(written<StringKeyFormat>(false)), "05 00 3C 3B 36 29 3F");
    EXPECT_EQ(hexOf(written<StringKeyFormat>("")), "00 00");
    // Two three-byte characters: the count is in bytes.
    const ByteBuffer cjk = written<StringKeyFormat>("安装");
    ASSERT_EQ(cjk.size(), 8u);
    EXPECT_EQ(cjk[0], 6);
    EXPECT_EQ(cjk[1], 0);
    EXPECT_EQ(cjk[2], 0xE5 ^ 0x5A);

    StringKeyFormat none("s");
    ByteBuffer out;
    none.write(out);
    EXPECT_EQ(hexOf(out), "00 00") << "no value renders as the empty text";
    none.keyValue = TallyValue("ab");
    EXPECT_EQ(hexOf(none.getByteData()), "3B 38") << "getByteData has no count";
}

TEST(StringField, AtMost65535BytesAreWrittenLongerTextIsRefusedWithOneLogLine) {
    const std::string limit(65535, 'x');
    EXPECT_EQ(written<StringKeyFormat>(limit).size(), 65537u);
    ByteBuffer out = written<StringKeyFormat>(limit);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFF);

    ScopedVoLogCapture log;
    StringKeyFormat field("big");
    field.keyValue = TallyValue(std::string(65536, 'x'));
    ByteBuffer refused{1, 2};
    try {
        field.write(refused);
        FAIL() << "a 65536-byte string must be refused";
    } catch (const TallyException& e) {
        EXPECT_EQ(e.error(), TallyError::data_invalid);
    }
    EXPECT_EQ(hexOf(refused), "01 02");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.containsPrefix("[VoTally] StringKeyFormat => ERROR: field 'big' (string)"));
}

TEST(BinaryField, DecodesHexTextIntoCountedBytes) {
    EXPECT_EQ(hexOf(written<BinaryKeyFormat>("0aFF")), "02 00 0A FF");
    EXPECT_EQ(hexOf(written<BinaryKeyFormat>("abc")), "01 00 AB") << "odd digit ignored";
    EXPECT_EQ(hexOf(written<BinaryKeyFormat>("")), "00 00");
    EXPECT_EQ(hexOf(written<BinaryKeyFormat>("7")), "00 00") << "a lone digit decodes to nothing";

    ScopedVoLogCapture log;
    EXPECT_EQ(hexOf(written<BinaryKeyFormat>("0g")), "01 00 00");
    EXPECT_EQ(log.lines(), std::vector<std::string>{std::string(kHexLog)});
}

TEST(BinaryField, OnlyTextIsAcceptableAndOversizedValuesAreRefused) {
    BinaryKeyFormat field("bin");
    EXPECT_FALSE(field.isDataValid());
    field.keyValue = TallyValue(12);
    EXPECT_FALSE(field.isDataValid());
    ByteBuffer out;
    EXPECT_THROW(field.write(out), TallyException) << "an integer is not hex text";
    EXPECT_TRUE(out.empty());

    EXPECT_EQ(written<BinaryKeyFormat>(std::string(131070, 'a')).size(), 65537u);
    ScopedVoLogCapture log;
    field.keyValue = TallyValue(std::string(131072, 'a'));
    EXPECT_THROW(field.write(out), TallyException);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.containsPrefix("[VoTally] BinaryKeyFormat => ERROR: field 'bin' (binary)"));
}

TEST(TextOperations, HexDecodingCountsBadDigitsAsZeroAndLogsEachOnce) {
    EXPECT_EQ(hexOf(toBinary("00112233445566778899aAbBcCdDeEfF")),
              "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    EXPECT_TRUE(toBinary("").empty());
    ScopedVoLogCapture log;
    EXPECT_EQ(hexOf(toBinary("zz1x")), "00 10");
    EXPECT_EQ(log.lines().size(), 3u);
    EXPECT_EQ(VoTallyUtil::getByteToBinary('F'), 15);
    EXPECT_EQ(VoTallyUtil::getByteToBinary('/'), 0);
    EXPECT_EQ(log.lines().size(), 4u);
}

TEST(TextOperations, MaskingAndRawBytes) {
    EXPECT_EQ(hexOf(encode("AZ")), "1B 00");
    EXPECT_EQ(hexOf(encode("é")), "99 F3");
    EXPECT_EQ(hexOf(asByteArray("é")), "C3 A9");
    EXPECT_TRUE(encode("").empty());
    EXPECT_EQ(asCode("A"), 65);
    EXPECT_EQ(asCode("ÿx"), 255);
    EXPECT_EQ(asCode("安"), 0) << "a code above 255 does not fit one byte";
    EXPECT_EQ(asCode(""), 0);
}

TEST(TextOperations, FindFirstCountsCharactersNotBytes) {
    EXPECT_EQ(findFirst("a=b=c", "="), 1);
    EXPECT_EQ(findFirst("abc", "="), -1);
    EXPECT_EQ(findFirst("abc", ""), -1);
    EXPECT_EQ(findFirst("", "a"), -1);
    EXPECT_EQ(findFirst("安装result=1", "result=1"), 2);
    EXPECT_EQ(findFirst("\xFF\xFEok", "ok"), 2) << "each invalid byte is one character";
}

TEST(TextOperations, ToByteArrayIsLittleEndianAndAsWideAsTheType) {
    EXPECT_EQ(hexOf(VoTallyUtil::toByteArray(std::uint16_t{0x0102})), "02 01");
    EXPECT_EQ(hexOf(VoTallyUtil::toByteArray(std::uint8_t{7})), "07");
    EXPECT_EQ(hexOf(VoTallyUtil::toByteArray(std::int32_t{-2})), "FE FF FF FF");
    EXPECT_EQ(VoTallyUtil::toByteArray(std::uint64_t{1}).size(), 8u);
}

TEST(VoLog, ErrorsAndWarningsCarryThePrefixDebugWritesNothing) {
    ScopedVoLogCapture log;
    VoLogUtil::e("Part => ERROR: one");
    VoLogUtil::w("Part => WARN: 100% two");
    VoLogUtil::d("never");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[VoTally] Part => ERROR: one",
                                                     "[VoTally] Part => WARN: 100% two"}));
}

TEST(VoLog, LinesFromManyThreadsAreAllKeptWhole) {
    ScopedVoLogCapture log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                VoLogUtil::w("t" + std::to_string(t) + " " + std::to_string(i));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const auto lines = log.lines();
    EXPECT_EQ(lines.size(), 200u);
    for (const auto& line : lines) {
        EXPECT_TRUE(line.starts_with("[VoTally] t")) << line;
    }
}

TEST(TallyValues, KindsAndErrorCodes) {
    EXPECT_TRUE(TallyValue("x").isText()) << "a C string is text, never a boolean";
    EXPECT_TRUE(TallyValue(std::uint32_t{4000000000u}).isInteger());
    EXPECT_EQ(TallyValue(std::uint32_t{4000000000u}).integer(), 4000000000LL);
    EXPECT_TRUE(TallyValue(false).isBool());
    EXPECT_EQ(static_cast<int>(TallyError::empty), 0);
    EXPECT_EQ(static_cast<int>(TallyError::parse), 1);
    EXPECT_EQ(static_cast<int>(TallyError::data_invalid), 2);
    EXPECT_EQ(toString(TallyError::data_invalid), "data_invalid");
}

}  // namespace
}  // namespace tally
