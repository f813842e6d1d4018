#include <gtest/gtest.h>

#include <limits>

#include "platform/text.h"

namespace corvane::platform {
namespace {

TEST(Utf8, WellFormedTextIsRecognised) {
    for (const char* good : {"", "plain 安装 ÿ 😀", "\xE0\xA0\x80 \xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(isValidUtf8(good)) << good;
    }
    for (const char* bad : {
             "\xC0\xAF",          // overlong "/"
             "\xE0\x80\xAF",      // overlong, three bytes
             "\xED\xA0\x80",      // a surrogate
             "\xF0\x80\x80\xAF",  // overlong, four bytes
             "\xF4\x90\x80\x80",  // past U+10FFFF
             "\xE5\xAE",          // cut short
             "ok\xFF",            // never a UTF-8 byte
         }) {
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
    }
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
