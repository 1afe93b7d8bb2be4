#include "Endpoints.h"

namespace ostral::devstack {

HttpResponse restError(int status, std::string_view code, std::string_view message,
                       const std::optional<std::string>& details,
                       const std::optional<std::string>& hint) {
    nlohmann::json body = {{"code", code},
                           {"message", message},
                           {"details", details ? nlohmann::json(*details) : nlohmann::json()},
                           {"hint", hint ? nlohmann::json(*hint) : nlohmann::json()}};
    return HttpResponse::json(status, body);
}

HttpResponse restJwtError(const JwtError& error) {
    const bool claims =
        error.kind == JwtErrorKind::expired || error.kind == JwtErrorKind::notYetValid;
    HttpResponse response = restError(401, claims ? "PGRST303" : "PGRST301", error.message);
    response.withHeader("WWW-Authenticate", "Bearer error=\"invalid_token\", error_description=\"" +
                                                error.message + "\"");
    return response;
}

HttpResponse handleRest(Server&, const HttpRequest&, std::string_view, const Principal&) {
    return restError(404, "PGRST125", "Invalid path specified in request URL");
}

} // namespace ostral::devstack
