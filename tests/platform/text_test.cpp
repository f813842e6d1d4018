#include <gtest/gtest.h>

#include <limits>

#include "platform/text.h"

namespace corvane::platform {
namespace {

TEST(Utf8, WellFormedTextIsRecognised) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain 安装 ÿ 😀"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));      // overlong, three bytes
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // a surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xE5\xAE"));          // cut short
    EXPECT_FALSE(isValidUtf8("ok\xFF"));            // never a UTF-8 byte
}

TEST(DecimalInteger, SignsDigitsAndRange) {
    EXPECT_EQ(parseDecimalInteger("42"), 42);
    EXPECT_EQ(parseDecimalInteger("+42"), 42);
    EXPECT_EQ(parseDecimalInteger("-7"), -7);
    EXPECT_EQ(parseDecimalInteger("007"), 7);
    EXPECT_EQ(parseDecimalInteger("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(parseDecimalInteger("9223372036854775807"), std::numeric_limits<int64_t>::max());
    for (const char* bad : {"", "+", "-", "+-1", "--1", "4 2", " 42", "42 ", "12abc", "0x10",
                            "9223372036854775808", "-9223372036854775809", "1.5"}) {
        EXPECT_FALSE(parseDecimalInteger(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace corvane::platform
