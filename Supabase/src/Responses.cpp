#include "JsonText.h"

#include <Supabase/Responses.h>

namespace ostral::supabase {

namespace {

Error apiError(unsigned status) {
    Error error;
    error.kind = Error::Kind::api;
    error.status = status;
    return error;
}

Error decodingError(unsigned status, std::string message) {
    Error error;
    error.kind = Error::Kind::decoding;
    error.status = status;
    error.message = std::move(message);
    return error;
}

template <typename... Keys>
std::optional<std::string> firstString(const nlohmann::json& object, Keys... keys) {
    std::optional<std::string> found;
    ((found = found ? found : json::string(object, keys)), ...);
    return found;
}

} // namespace

Error authError(unsigned status, std::string_view body) {
    Error error = apiError(status);
    const auto value = json::parse(body);
    if (!value || !value->is_object()) {
        return error;
    }
    error.code = firstString(*value, "code", "error_code", "error").value_or("");
    error.message =
        firstString(*value, "msg", "message", "error_description", "error").value_or("");
    return error;
}

Error postgrestError(unsigned status, std::string_view body) {
    Error error = apiError(status);
    const auto value = json::parse(body);
    if (!value || !value->is_object()) {
        return error;
    }
    error.code = json::string(*value, "code").value_or("");
    error.message = json::string(*value, "message").value_or("");
    error.details = json::string(*value, "details");
    error.hint = json::string(*value, "hint");
    return error;
}

bool isRefreshTokenRejected(const Error& error) {
    return error.kind == Error::Kind::api &&
           (error.code == "refresh_token_not_found" || error.code == "refresh_token_already_used" ||
            error.code == "session_not_found" || error.code == "session_expired");
}

Result<Session> readSessionResponse(const HttpResponse& response, double nowUnixSeconds) {
    if (!response.isSuccess()) {
        return authError(response.status, response.body);
    }
    auto session = Session::fromJsonText(response.body, nowUnixSeconds);
    if (!session) {
        return decodingError(response.status, "The auth service's answer is not a session");
    }
    return std::move(*session);
}

Result<User> readUserResponse(const HttpResponse& response) {
    if (!response.isSuccess()) {
        return authError(response.status, response.body);
    }
    const auto value = json::parse(response.body);
    auto user = value ? User::fromJson(*value) : std::nullopt;
    if (!user) {
        return decodingError(response.status, "The auth service's answer is not a user");
    }
    return std::move(*user);
}

Result<nlohmann::json> readPostgrestResponse(const HttpResponse& response) {
    if (!response.isSuccess()) {
        return postgrestError(response.status, response.body);
    }
    if (response.body.find_first_not_of(" \t\r\n") == std::string::npos) {
        return nlohmann::json(nullptr);
    }
    auto value = json::parse(response.body);
    if (!value) {
        return decodingError(response.status, "The database's answer is not JSON");
    }
    return std::move(*value);
}

} // namespace ostral::supabase
