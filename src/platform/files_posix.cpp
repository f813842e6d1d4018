#include <fcntl.h>
#include <stdio.h>  // renameat2 (Linux), renamex_np (macOS)
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace corvane::platform {
namespace {

// A file system that cannot rename without replacing can still refuse an existing name through a
// hard link, which fails when the new name is taken.
std::error_code linkThenUnlink(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) != 0) {
        return {errno, std::generic_category()};
    }
    if (::unlink(from.c_str()) != 0) {
        const std::error_code error(errno, std::generic_category());
        ::unlink(to.c_str());  // the old name is still there: take the new one back
        return error;
    }
    return {};
}

bool unsupported(int error) {
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
        return true;
    }
    return error == ENOTSUP;  // the same number as EOPNOTSUPP on Linux, not on macOS
}

}  // namespace

void UniqueFd::reset() {
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::error_code renameNoReplace(const std::string& from, const std::string& to) {
#if defined(__APPLE__)
    const int rc = ::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL);
#else
    const int rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
#endif
    if (rc == 0) {
        return {};
    }
    const int error = errno;
    if (unsupported(error)) {
        return linkThenUnlink(from, to);
    }
    return {error, std::generic_category()};
}

}  // namespace corvane::platform
