#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostral::devstack {

// A request as the endpoints see it, independent of the HTTP library, so that tests and the
// fuzz target can drive the endpoints directly.
struct HttpRequest {
    std::string method;   // "GET", "POST", ...
    std::string path;     // decoded path, e.g. "/rest/v1/live_calls"
    std::string rawQuery; // the query string as sent, without '?'
    std::vector<std::pair<std::string, std::string>> headers; // names in lower case
    std::string body;

    // The first header named `name` (lower case), or nullopt.
    std::optional<std::string> header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType; // empty: no body
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;

    static HttpResponse json(int status, const nlohmann::json& body);
    static HttpResponse empty(int status);
    HttpResponse& withHeader(std::string name, std::string value);
};

} // namespace ostral::devstack
