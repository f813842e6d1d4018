// The control-file parser on arbitrary text. Beyond not crashing: every stored section holds
// keys, every key and value reads back through the lookups exactly, the integer lookup agrees
// with the decimal reader, and CR LF line ends give the same sections as LF.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "platform/text.h"
#include "tally/vo_tally_control.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tally::fuzz::quietLog();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const tally::VoTallyControl control = tally::VoTallyControl::fromText(text);
    constexpr std::string_view kAbsent = "\x01" "absent";
    for (const auto& [section, keys] : control.sections()) {
        FUZZ_CHECK(!keys.empty());
        FUZZ_CHECK(section.find('\n') == std::string::npos);
        for (const auto& [key, value] : keys) {
            FUZZ_CHECK(!key.empty());
            FUZZ_CHECK(key.find_first_of("=\n") == std::string::npos);
            FUZZ_CHECK(value.find('\n') == std::string::npos);
            FUZZ_CHECK(control.getPrivateProfileString(section, key, kAbsent) ==
                       (value.empty() ? kAbsent : value));
            const int64_t number = control.getPrivateProfileInt(section, key, -99);
            FUZZ_CHECK(number ==
                       (value.empty()
                            ? -99
                            : corvane::platform::parseDecimalInteger(value).value_or(-99)));
        }
        static_cast<void>(control.getPriority(section));
        static_cast<void>(control.getServerUrl(section));
    }
    static_cast<void>(control.getProductId());
    for (const int64_t priority : {INT64_MIN, int64_t{-1}, int64_t{0}, int64_t{2}, INT64_MAX}) {
        static_cast<void>(control.getServerUrl(priority));
    }

    // Without a CR of its own, the text written with CR LF line ends must parse the same.
    if (text.find('\r') == std::string_view::npos) {
        std::string crlf;
        for (const char c : text) {
            if (c == '\n') {
                crlf += '\r';
            }
            crlf += c;
        }
        FUZZ_CHECK(tally::VoTallyControl::fromText(crlf).sections() == control.sections());
    }
    return 0;
}
