#pragma once
// Checks on text that comes from outside the program: files, tools' output, resource files.
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::platform {

// True when `bytes` is well-formed UTF-8 throughout: no overlong forms, no surrogates, nothing
// above U+10FFFF, no sequence cut short.
[[nodiscard]] bool isValidUtf8(std::string_view bytes);

// Reads `text` as a whole decimal integer: an optional leading "+" or "-", then one or more ASCII
// digits and nothing else (no spaces), within the signed 64-bit range. Absent for anything else.
[[nodiscard]] std::optional<int64_t> parseDecimalInteger(std::string_view text);

}  // namespace corvane::platform
