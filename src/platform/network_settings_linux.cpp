#include "platform/network_settings.h"

namespace corvane::platform {

// libcurl's own defaults are this platform's settings: proxies from http_proxy / https_proxy /
// no_proxy and the distribution's CA store.
void applySystemNetworkSettings(CURL* /*easy*/, const std::string& /*url*/) {}

}  // namespace corvane::platform
