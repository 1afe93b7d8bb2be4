#include "Http.h"

namespace ostral::devstack {

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return value;
        }
    }
    return std::nullopt;
}

HttpResponse HttpResponse::json(int status, const nlohmann::json& body) {
    HttpResponse response;
    response.status = status;
    response.contentType = "application/json; charset=utf-8";
    response.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return response;
}

HttpResponse HttpResponse::empty(int status) {
    HttpResponse response;
    response.status = status;
    return response;
}

HttpResponse& HttpResponse::withHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

} // namespace ostral::devstack
