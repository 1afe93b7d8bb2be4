#pragma once

#include <cstdint>
#include <string>

// The fixed settings by which the shell finds its backend and its portal. Every value is a
// constant of the build (CMake cache variables OSTRAL_BACKEND_URL, OSTRAL_ANON_KEY and
// OSTRAL_PORTAL_ORIGIN); nothing is read from files or the environment.
namespace ostral {

// An origin URL: a scheme, a host and an optional port, no path.
struct OriginURL {
    std::string scheme;
    std::string host;
    // The explicit port, or 0 when the URL has none (the scheme's default applies).
    std::uint16_t port = 0;

    // "https://host" or "http://host:port", without a trailing slash.
    std::string text() const;

    bool operator==(const OriginURL&) const = default;
};

namespace OstralConfig {

// The base URL of the backend project; its host's first label is the project reference.
const OriginURL& backendURL();
// The host of backendURL() alone; the backend's own links are recognised by it.
const std::string& backendHost();
// The backend's public anonymous key.
const std::string& anonKey();
// The origin of the company's admin portal.
const OriginURL& portalOrigin();
// "sb-<project reference>-auth-token": the key under which the portal's web client keeps its
// session in the page's local storage, and our client keeps the shell's.
const std::string& sessionStorageKey();

} // namespace OstralConfig
} // namespace ostral
