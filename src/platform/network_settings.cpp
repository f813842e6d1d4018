#include "platform/network_settings.h"

namespace corvane::platform {

std::optional<CurlProxy> curlProxy(const SystemProxy& entry) {
    using Kind = SystemProxy::Kind;
    if (entry.kind == Kind::direct) {
        return CurlProxy{};
    }
    const char* scheme = entry.kind == Kind::http || entry.kind == Kind::https ? "http://"
                         : entry.kind == Kind::socks                           ? "socks5h://"
                                                                               : nullptr;
    if (scheme == nullptr || entry.host.empty()) {
        return std::nullopt;
    }
    std::string address = scheme;
    if (entry.host.find(':') != std::string::npos && !entry.host.starts_with('[')) {
        address += "[" + entry.host + "]";
    } else {
        address += entry.host;
    }
    if (entry.port) {
        address += ":" + std::to_string(*entry.port);
    }
    return CurlProxy{std::move(address), entry.user, entry.password};
}

}  // namespace corvane::platform
