#include <OstralKit/OstralBuildSettings.h>
#include <OstralKit/OstralConfig.h>

#include <fmt/format.h>

#include <cstdlib>
#include <string_view>

namespace ostral {

namespace {

// The build refuses settings that are not origin URLs (OstralKit/CMakeLists.txt), so this only
// splits a known-good text.
OriginURL parseOrigin(std::string_view text) {
    OriginURL url;
    const auto schemeEnd = text.find("://");
    url.scheme = std::string(text.substr(0, schemeEnd));
    std::string_view rest = text.substr(schemeEnd + 3);
    const auto colon = rest.find(':');
    url.host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
        url.port = static_cast<std::uint16_t>(
            std::strtoul(std::string(rest.substr(colon + 1)).c_str(), nullptr, 10));
    }
    return url;
}

} // namespace

std::string OriginURL::text() const {
    if (port == 0) {
        return fmt::format("{}://{}", scheme, host);
    }
    return fmt::format("{}://{}:{}", scheme, host, port);
}

namespace OstralConfig {

const OriginURL& backendURL() {
    static const OriginURL url = parseOrigin(build::backendURL);
    return url;
}

const std::string& backendHost() {
    static const std::string host = backendURL().host;
    return host;
}

const std::string& anonKey() {
    static const std::string key = build::anonKey;
    return key;
}

const OriginURL& portalOrigin() {
    static const OriginURL url = parseOrigin(build::portalOrigin);
    return url;
}

const std::string& sessionStorageKey() {
    static const std::string key = fmt::format("sb-{}-auth-token", build::projectRef);
    return key;
}

} // namespace OstralConfig
} // namespace ostral
