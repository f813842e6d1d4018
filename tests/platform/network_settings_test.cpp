#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/network_libraries.h"
#include "platform/network_settings.h"

namespace corvane::platform {
namespace {

CurlProxy at(std::string address) {
    return {std::move(address), {}, {}};
}

TEST(NetworkSettings, SystemProxiesInLibcurlsTerms) {
    using Kind = SystemProxy::Kind;
    struct Row {
        const char* what;
        SystemProxy entry;
        std::optional<CurlProxy> want;
    };
    const Row rows[] = {
        {"direct", {Kind::direct, "ignored", 8080, {}, {}}, CurlProxy{}},
        {"http", {Kind::http, "proxy.corp", 3128, {}, {}}, at("http://proxy.corp:3128")},
        {"https addresses still reach their proxy in http",
         {Kind::https, "10.0.0.1", 8443, {}, {}},
         at("http://10.0.0.1:8443")},
        {"socks resolves names at the proxy",
         {Kind::socks, "socks.corp", 1080, {}, {}},
         at("socks5h://socks.corp:1080")},
        {"ipv6 in brackets", {Kind::http, "fd00::1", 80, {}, {}}, at("http://[fd00::1]:80")},
        {"ipv6 already bracketed",
         {Kind::http, "[fd00::1]", 80, {}, {}},
         at("http://[fd00::1]:80")},
        {"no port", {Kind::http, "proxy.corp", std::nullopt, {}, {}}, at("http://proxy.corp")},
        {"credentials go along",
         {Kind::http, "proxy.corp", 8080, "ann", "p@ss:word"},
         CurlProxy{"http://proxy.corp:8080", "ann", "p@ss:word"}},
        {"no host", {Kind::http, "", 8080, {}, {}}, std::nullopt},
        {"a kind libcurl does not speak", {Kind::other, "ftp.corp", 21, {}, {}}, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(curlProxy(row.entry), row.want);
    }
}

TEST(NetworkLibraries, OpenHereWithEveryEntryPoint) {
    EXPECT_NE(curlLibrary(), nullptr);
    const CryptoLibrary* crypto = cryptoLibrary();
    ASSERT_NE(crypto, nullptr);
    unsigned char byte = 0;
    EXPECT_EQ(crypto->RAND_bytes(&byte, 1), 1);
}

}  // namespace
}  // namespace corvane::platform
