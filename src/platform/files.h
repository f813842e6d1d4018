#pragma once
// File operations the standard library has no safe form of.
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace corvane::platform {

// Owns one file descriptor and closes it when it goes; -1 holds nothing.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : mFd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            mFd = std::exchange(other.mFd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] int get() const { return mFd; }
    // Closes what it holds (errors of close are not reported; callers that must know close
    // themselves and release()).
    void reset();
    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() { return std::exchange(mFd, -1); }

  private:
    int mFd = -1;
};

// Writes all of `bytes` to `fd`, going on after short writes and interruptions. False on the
// first real error (errno tells which); part of the bytes may then have been written.
[[nodiscard]] bool writeAll(int fd, std::string_view bytes);

// Moves `from` to `to` in one step, but never over something that exists at `to`: then it fails
// with std::errc::file_exists and both stay as they were (as the platform's file move does).
// Both paths must be on one filesystem. Returns the error, empty on success.
[[nodiscard]] std::error_code renameNoReplace(const std::string& from, const std::string& to);

}  // namespace corvane::platform
