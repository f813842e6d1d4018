#include "setup/uuid_generater.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <random>

#include "platform/network_libraries.h"
#include "platform/paths.h"

namespace corvane {
namespace {

constexpr char kLowerHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

// Bytes from the secure random source; the OS's own source if OpenSSL's ever fails or is
// missing.
void secureRandomBytes(unsigned char* out, size_t count) {
    const platform::CryptoLibrary* crypto = platform::cryptoLibrary();
    if (crypto && count <= INT_MAX && crypto->RAND_bytes(out, static_cast<int>(count)) == 1) {
        return;
    }
    std::random_device device;
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<unsigned char>(device() & 0xFFu);
    }
}

// A uniform secure random number in 0..99999 (rejection sampling keeps it unbiased).
uint32_t secureRandomBelow100000() {
    constexpr uint64_t kRange = 100000;
    constexpr uint64_t kLimit = (uint64_t{1} << 32) - ((uint64_t{1} << 32) % kRange);
    for (;;) {
        std::array<unsigned char, 4> b{};
        secureRandomBytes(b.data(), b.size());
        const uint64_t v = (uint64_t{b[0]} << 24) | (uint64_t{b[1]} << 16) | (uint64_t{b[2]} << 8) |
                           uint64_t{b[3]};
        if (v < kLimit) {
            return static_cast<uint32_t>(v % kRange);
        }
    }
}

// A random (version 4) UUID written as 32 upper-case hexadecimal digits, no hyphens.
std::string randomUuidUpperNoHyphens() {
    std::array<unsigned char, 16> b{};
    secureRandomBytes(b.data(), b.size());
    b[6] = static_cast<unsigned char>((b[6] & 0x0Fu) | 0x40u);
    b[8] = static_cast<unsigned char>((b[8] & 0x3Fu) | 0x80u);
    std::string s;
    s.reserve(32);
    for (const unsigned char c : b) {
        s += kUpperHex[c >> 4];
        s += kUpperHex[c & 0x0Fu];
    }
    return s;
}

// "SSSMMddyyyyHHmmss" in local time.
std::string localTimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const auto sinceEpoch = now.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    localtime_r(&t, &local);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%03d%02d%02d%04d%02d%02d%02d", static_cast<int>(millis),
                  local.tm_mon + 1, local.tm_mday, local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec);
    return buffer;
}

std::string currentHostName() {
    std::array<char, 256> buffer{};
    if (::gethostname(buffer.data(), buffer.size() - 1) != 0 || buffer[0] == '\0') {
        return "Unknown";
    }
    return std::string(buffer.data());
}

// Free bytes of the home folder's volume for an unprivileged user; absent when unreadable.
std::optional<unsigned long long> homeVolumeFreeBytes() {
    const std::string home = platform::homeDirectory();
    struct statvfs st {};
    if (home.empty() || ::statvfs(home.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<unsigned long long>(st.f_bavail) *
           static_cast<unsigned long long>(st.f_frsize);
}

}  // namespace

std::string md5Hex(std::string_view bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    const platform::CryptoLibrary* crypto = platform::cryptoLibrary();
    if (!crypto || crypto->Digest(bytes.data(), bytes.size(), digest.data(), &length, crypto->md5(),
                                  nullptr) != 1) {
        length = 0;
    }
    std::string hex;
    hex.reserve(size_t{length} * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex += kLowerHex[digest[i] >> 4];
        hex += kLowerHex[digest[i] & 0x0Fu];
    }
    return hex;
}

std::string normalizedHostName(std::string_view hostName) {
    std::string lower(hostName);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    std::string result;
    result.reserve(lower.size());
    for (size_t i = 0; i < lower.size();) {
        if (lower.compare(i, 3, "mac") == 0) {
            result += "Mac";
            i += 3;
        } else {
            result += lower[i];
            ++i;
        }
    }
    return result;
}

std::string assembleUUIDSource() {
    char random[8];
    std::snprintf(random, sizeof random, "%05u", secureRandomBelow100000());
    std::string s = random;
    s += randomUuidUpperNoHyphens();
    s += localTimeStamp();
    s += md5Hex(normalizedHostName(currentHostName()));
    if (const std::optional<unsigned long long> free = homeVolumeFreeBytes()) {
        char space[32];
        std::snprintf(space, sizeof space, "%010llu", *free);
        s += space;
    }
    return s;
}

std::string assembleUUID() {
    std::string id = md5Hex(assembleUUIDSource());
    if (id.empty()) {
        // Without libcrypto there is no digest; an identity of the same shape from the secure
        // random source still tells this installation apart, where an empty one would not.
        std::array<unsigned char, 16> b{};
        secureRandomBytes(b.data(), b.size());
        for (const unsigned char c : b) {
            id += kLowerHex[c >> 4];
            id += kLowerHex[c & 0x0Fu];
        }
    }
    return id;
}

}  // namespace corvane
