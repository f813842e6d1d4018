#pragma once
// File operations the standard library has no safe form of.
#include <string>
#include <system_error>

namespace corvane::platform {

// Moves `from` to `to` in one step, but never over something that exists at `to`: then it fails
// with std::errc::file_exists and both stay as they were (as the platform's file move does).
// Both paths must be on one filesystem. Returns the error, empty on success.
[[nodiscard]] std::error_code renameNoReplace(const std::string& from, const std::string& to);

}  // namespace corvane::platform
