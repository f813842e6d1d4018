#pragma once
// The machine's own network settings for one libcurl transfer. libcurl reads proxies only from
// environment variables and trusts only its own certificate file; a program started from the
// Finder has neither, while a Mac keeps its proxies (often an automatic configuration) in System
// Settings and its trusted certificates in the Keychain.
#include <curl/curl.h>

#include <optional>
#include <string>

namespace corvane::platform {

// Sets on `easy` the proxy the system names for `url` and the certificate authorities the system
// trusts, before the transfer starts. Never turns TLS verification off and never fails the
// transfer itself: what cannot be read is logged once per kind and left to libcurl's defaults.
//
// macOS: the proxy comes from SystemConfiguration's settings for `url` (exceptions, and automatic
// configuration by script or address, evaluated for at most a few seconds: an unreachable script
// means a direct connection, as the system decides too); "no proxy" is set explicitly, so stray
// environment variables do not count. A proxy's user and password go along when the settings
// carry them. The trusted roots are the system's anchors and the certificates an administrator
// or the user trusts as roots in the Keychain, minus those they distrust; read once per process.
// May block the calling thread while a configuration script runs; call it on a worker.
//
// Linux: changes nothing; libcurl's defaults (environment proxies, the system CA store) apply.
void applySystemNetworkSettings(CURL* easy, const std::string& url);

// One entry of a system's proxy list for an address, in the system's terms.
struct SystemProxy {
    enum class Kind { direct, http, https, socks, other };
    Kind kind = Kind::other;
    std::string host;
    std::optional<long> port;
    std::string user;
    std::string password;
};

// A proxy as libcurl takes it: `address` empty for a direct connection.
struct CurlProxy {
    std::string address;
    std::string user;
    std::string password;
    bool operator==(const CurlProxy&) const = default;
};

// The libcurl form of one system entry: "http://host:port" for HTTP and HTTPS proxies (a proxy
// for https addresses is still spoken to in plain HTTP), "socks5h://host:port" for SOCKS (names
// resolved by the proxy, as the system does), an IPv6 address in brackets, no port when the entry
// has none. Absent for an entry libcurl cannot use (no host, a kind it does not speak).
[[nodiscard]] std::optional<CurlProxy> curlProxy(const SystemProxy& entry);

}  // namespace corvane::platform
