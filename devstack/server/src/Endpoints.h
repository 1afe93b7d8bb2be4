#pragma once

#include "Http.h"
#include "Server.h"

#include <string_view>

namespace ostral::devstack {

// The endpoint groups behind Server::handle. `subpath` is the request path after the group's
// prefix ("/auth/v1", "/rest/v1", "/storage/v1"), e.g. "/token" or "/live_calls".
HttpResponse handleAuth(Server& server, const HttpRequest& request, std::string_view subpath);
HttpResponse handleRest(Server& server, const HttpRequest& request, std::string_view subpath,
                        const Principal& principal);
HttpResponse handleStorage(Server& server, const HttpRequest& request, std::string_view subpath,
                           const std::optional<std::string>& apiKey);

// 401 PGRST301 (undecodable or badly signed) or PGRST303 (expired, not yet valid).
HttpResponse restJwtError(const JwtError& error);

// PostgREST's error body {"code","details","hint","message"}.
HttpResponse restError(int status, std::string_view code, std::string_view message,
                       const std::optional<std::string>& details = std::nullopt,
                       const std::optional<std::string>& hint = std::nullopt);

} // namespace ostral::devstack
