#pragma once
// The identity of an installation: a new 32-digit lower-case hexadecimal MD5 digest per call,
// made from secure randomness, a new UUID, the local time, the host name and the free space of
// the home volume.
#include <string>
#include <string_view>

namespace corvane {

// A new identity on every call: the MD5 digest of assembleUUIDSource(), as 32 lower-case
// hexadecimal digits. Never fails: when libcrypto cannot be loaded, 32 lower-case hexadecimal
// digits straight from the secure random source instead.
[[nodiscard]] std::string assembleUUID();

// The text that assembleUUID() digests, in this order:
//   a secure random number below 100000 as five digits ("%05d"),
//   a new random UUID in upper case without its "-" (32 characters),
//   the local time as "SSSMMddyyyyHHmmss" (milliseconds, month, day, year, hour, minute, second),
//   md5Hex(normalizedHostName(host name, "Unknown" when there is none)),
//   the free bytes of the home folder's volume, at least ten digits ("%010d"); left out when
//   they cannot be read.
[[nodiscard]] std::string assembleUUIDSource();

// The host name as it goes into the identity: lower-cased, then every "mac" written "Mac".
[[nodiscard]] std::string normalizedHostName(std::string_view hostName);

// MD5 (RFC 1321) of `bytes` as 32 lower-case hexadecimal digits; empty when libcrypto cannot be
// loaded.
[[nodiscard]] std::string md5Hex(std::string_view bytes);

}  // namespace corvane
