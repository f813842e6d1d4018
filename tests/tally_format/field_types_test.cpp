// The seven field types: which values each accepts and the exact bytes it writes.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tally/key_format.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_util.h"
#include "tally_test_util.h"

namespace tally {
namespace {

using test::hexOf;

ByteBuffer written(const char* type, const TallyValue& value) {
    auto field = makeKeyFormat(type, "f");
    EXPECT_NE(field, nullptr) << type;
    ByteBuffer out;
    if (field) {
        field->keyValue = value;
        field->write(out);
    }
    return out;
}

TEST(FieldBytes, EachTypeWritesItsValueLittleEndianOrCountedAndMasked) {
    // Out-of-range numbers write zero (short and byte are unsigned); string counts are in bytes.
    using I = std::int64_t;
    const std::pair<const char*, std::vector<std::pair<TallyValue, const char*>>> rows[] = {
        {"int",
         {{-1, "FF FF FF FF"},
          {I{2147483647}, "FF FF FF 7F"},
          {I{-2147483648LL}, "00 00 00 80"},
          {I{2147483648LL}, "00 00 00 00"},
          {I{-2147483649LL}, "00 00 00 00"}}},
        {"int64",
         {{std::numeric_limits<I>::min(), "00 00 00 00 00 00 00 80"},
          {I{0x0102030405060708}, "08 07 06 05 04 03 02 01"},
          {std::uint32_t{4000000000u}, "00 28 6B EE 00 00 00 00"}}},
        {"short", {{65535, "FF FF"}, {0x1234, "34 12"}, {65536, "00 00"}, {-1, "00 00"}}},
        {"byte", {{255, "FF"}, {256, "00"}, {-1, "00"}}},
        {"string",
         {{42, "02 00 6E 68"},
          {true, "04 00 2E 28 2F 3F"},
          {false, "05 00 3C 3B 36 29 3F"},
          {"", "00 00"},
          {"安装", "06 00 BF F4 D3 B2 F9 DF"}}},
        {"binary", {{"0aFF", "02 00 0A FF"}, {"abc", "01 00 AB"}, {"7", "00 00"}}},
    };
    for (const auto& [type, cases] : rows) {
        for (const auto& [value, hex] : cases) {
            EXPECT_EQ(hexOf(written(type, value)), hex) << type;
        }
    }
}

TEST(FieldValues, RefusedKindsAppendNothingAndNameTheKind) {
    struct Row {
        const char* type;
        std::optional<TallyValue> value;
        const char* refusal;  // nullptr: accepted
    };
    const Row rows[] = {
        {"int", std::nullopt, "field 'f' (int) does not accept no value"},
        {"int", "5", "field 'f' (int) does not accept text"},  // text is never parsed
        {"byte", true, "field 'f' (byte) does not accept a boolean"},
        {"binary", 12, "field 'f' (binary) does not accept an integer"},
        {"binary", "00", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type);
        auto field = makeKeyFormat(row.type, "f");
        field->keyValue = row.value;
        EXPECT_EQ(field->isDataValid(), row.refusal == nullptr);
        if (row.refusal == nullptr) {
            continue;
        }
        ByteBuffer out{0xAA};
        try {
            appendTallyValue(out, *field);
            ADD_FAILURE() << "accepted";
        } catch (const TallyException& e) {
            EXPECT_EQ(e.error(), TallyError::data_invalid);
            EXPECT_EQ(std::string(e.what()), row.refusal);
        }
        EXPECT_EQ(hexOf(out), "AA");
    }
}

TEST(FieldValues, CountedFieldsHoldAtMost65535BytesAndRefuseMoreWithOneLogLine) {
    const std::tuple<const char*, std::size_t, const char*> rows[] = {
        {"string", 65535, nullptr},
        {"string", 65536, "[VoTally] StringKeyFormat => ERROR: field 'f' (string)"},
        {"binary", 131070, nullptr},
        {"binary", 131072, "[VoTally] BinaryKeyFormat => ERROR: field 'f' (binary)"}};
    for (const auto& [type, length, error] : rows) {
        SCOPED_TRACE(length);
        ScopedVoLogCapture log;
        auto field = makeKeyFormat(type, "f");
        field->keyValue = TallyValue(std::string(length, 'a'));
        ByteBuffer out;
        if (error != nullptr) {
            EXPECT_THROW(field->write(out), TallyException);
            EXPECT_TRUE(out.empty());
            EXPECT_EQ(log.lines().size(), 1u);
            EXPECT_TRUE(log.containsPrefix(error));
        } else {
            field->write(out);
            ASSERT_EQ(out.size(), 65537u);
            EXPECT_EQ(hexOf({out[0], out[1]}), "FF FF");
        }
    }
}

TEST(TextOperations, HexDecodingCountsBadDigitsAsZeroAndLogsEachOnce) {
    EXPECT_EQ(hexOf(toBinary("00112233445566778899aAbBcCdDeEfF")),
              "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    ScopedVoLogCapture log;
    EXPECT_EQ(hexOf(toBinary("zz1x")), "00 10");
    EXPECT_EQ(log.lines().size(), 3u);
    EXPECT_EQ(hexOf(written("binary", "0g")), "01 00 00");
    EXPECT_EQ(VoTallyUtil::getByteToBinary('/'), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>(
                               5, "[VoTally] VoTallyUtil => error to convert byte to binary"));
}

TEST(TextOperations, MaskingRawBytesAndSingleByteCodes) {
    EXPECT_EQ(hexOf(encode("AZ")), "1B 00");
    EXPECT_EQ(hexOf(encode("é")), "99 F3");
    EXPECT_EQ(hexOf(asByteArray("é")), "C3 A9");
    const std::pair<const char*, int> codes[] = {
        {"A", 65}, {"ÿx", 255}, {"À", 0xC0},     {"\xC2\x80", 0x80},
        {"安", 0},  // a code above 255 does not fit one byte
        {"", 0},   {"\xC3", 0}, {"\xC0\x80", 0},
    };
    for (const auto& [text, code] : codes) {
        EXPECT_EQ(asCode(text), code) << hexOf(asByteArray(text));
    }
}

TEST(TextOperations, FindFirstCountsCharactersAndEachInvalidByteIsOne) {
    const std::tuple<const char*, const char*, std::int64_t> rows[] = {
        {"a=b=c", "=", 1},
        {"abc", "=", -1},
        {"abc", "", -1},
        {"", "a", -1},
        {"安装result=1", "result=1", 2},
        {"一x", "x", 1},                  // E4 B8 80
        {"\xEF\xBF\xBDok", "ok", 1},      // U+FFFD, under the highest three-byte lead
        {"\xC2\x80ok", "ok", 1},          // U+0080, the lowest two-byte character
        {"\xF0\x90\x80\x80ok", "ok", 1},  // U+10000, the lowest four-byte character
        {"\xF4\x8F\xBF\xBFok", "ok", 1},  // U+10FFFF, the highest
        {"\xF4\x90\x80\x80ok", "ok", 4},  // past U+10FFFF
        {"\xF5\x80\x80\x80ok", "ok", 4},  // no lead byte above F4
        {"\xE0\x9F\xBFok", "ok", 3},      // an overlong form
        {"\xED\xA0\x80ok", "ok", 3},      // a surrogate
        {"\xE2\x82ok", "ok", 2},          // cut short
        {"\xFF\xFEok", "ok", 2},
    };
    for (const auto& [text, needle, expected] : rows) {
        EXPECT_EQ(findFirst(text, needle), expected) << hexOf(asByteArray(text));
    }
}

}  // namespace
}  // namespace tally
