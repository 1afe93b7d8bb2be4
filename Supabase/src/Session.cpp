#include "JsonText.h"

#include <Supabase/Session.h>

#include <glib.h>

#include <cmath>

namespace ostral::supabase {

namespace {

std::optional<std::string> nonEmptyString(const nlohmann::json& object, std::string_view key) {
    auto text = json::string(object, key);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return text;
}

// Whole seconds are written as integers, as the auth service and the web client write them.
nlohmann::json secondsValue(double seconds) {
    constexpr double kExactLimit = 9007199254740992.0; // 2^53
    if (std::trunc(seconds) == seconds && std::fabs(seconds) < kExactLimit) {
        return static_cast<std::int64_t>(seconds);
    }
    return seconds;
}

} // namespace

std::string jsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<User> User::fromJson(const nlohmann::json& value) {
    if (!value.is_object()) {
        return std::nullopt;
    }
    auto id = nonEmptyString(value, "id");
    if (!id) {
        return std::nullopt;
    }
    return User{std::move(*id), json::string(value, "email").value_or(""), value};
}

bool Session::isExpired(double nowUnixSeconds) const {
    return expiresAt - nowUnixSeconds < 30.0;
}

nlohmann::json Session::toJson() const {
    nlohmann::json userJson = user.raw.is_object() ? user.raw : nlohmann::json::object();
    userJson["id"] = user.id;
    if (!user.email.empty()) {
        userJson["email"] = user.email;
    }
    return nlohmann::json{
        {"access_token", accessToken},   {"token_type", tokenType},
        {"expires_in", expiresIn},       {"expires_at", secondsValue(expiresAt)},
        {"refresh_token", refreshToken}, {"user", std::move(userJson)},
    };
}

std::string Session::toJsonText() const {
    return jsonText(toJson());
}

std::optional<Session> Session::fromJson(const nlohmann::json& value,
                                         std::optional<double> nowUnixSeconds) {
    if (!value.is_object()) {
        return std::nullopt;
    }
    auto accessToken = nonEmptyString(value, "access_token");
    auto refreshToken = nonEmptyString(value, "refresh_token");
    if (!accessToken || !refreshToken) {
        return std::nullopt;
    }
    const auto userValue = value.find("user");
    if (userValue == value.end()) {
        return std::nullopt;
    }
    auto user = User::fromJson(*userValue);
    if (!user) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> expiresIn = json::integer(value, "expires_in");
    std::optional<double> expiresAt = json::number(value, "expires_at");
    if (!expiresAt && nowUnixSeconds && expiresIn && std::isfinite(*nowUnixSeconds)) {
        expiresAt = *nowUnixSeconds + static_cast<double>(*expiresIn);
    }
    if (!expiresAt) {
        return std::nullopt;
    }
    Session session;
    session.accessToken = std::move(*accessToken);
    session.tokenType = json::string(value, "token_type").value_or("bearer");
    session.refreshToken = std::move(*refreshToken);
    session.expiresIn = expiresIn.value_or(0);
    session.expiresAt = *expiresAt;
    session.user = std::move(*user);
    return session;
}

std::optional<Session> Session::fromJsonText(std::string_view text,
                                             std::optional<double> nowUnixSeconds) {
    const auto value = json::parse(text);
    if (!value) {
        return std::nullopt;
    }
    return fromJson(*value, nowUnixSeconds);
}

std::string_view authChangeEventName(AuthChangeEvent event) {
    switch (event) {
    case AuthChangeEvent::initialSession:
        return "INITIAL_SESSION";
    case AuthChangeEvent::passwordRecovery:
        return "PASSWORD_RECOVERY";
    case AuthChangeEvent::signedIn:
        return "SIGNED_IN";
    case AuthChangeEvent::signedOut:
        return "SIGNED_OUT";
    case AuthChangeEvent::tokenRefreshed:
        return "TOKEN_REFRESHED";
    case AuthChangeEvent::userUpdated:
        return "USER_UPDATED";
    case AuthChangeEvent::userDeleted:
        return "USER_DELETED";
    case AuthChangeEvent::mfaChallengeVerified:
        return "MFA_CHALLENGE_VERIFIED";
    }
    return "UNKNOWN";
}

std::optional<double> jwtExpiry(std::string_view token) {
    const auto firstDot = token.find('.');
    if (firstDot == std::string_view::npos) {
        return std::nullopt;
    }
    const auto secondDot = token.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos) {
        return std::nullopt;
    }
    std::string payload(token.substr(firstDot + 1, secondDot - firstDot - 1));
    for (char& c : payload) {
        if (c == '-') {
            c = '+';
        } else if (c == '_') {
            c = '/';
        } else if (!g_ascii_isalnum(c) && c != '+' && c != '/') {
            return std::nullopt;
        }
    }
    if (payload.size() % 4 == 1) {
        return std::nullopt;
    }
    payload.append((4 - payload.size() % 4) % 4, '=');
    gsize length = 0;
    guchar* decoded = g_base64_decode(payload.c_str(), &length);
    const std::string text(reinterpret_cast<const char*>(decoded), length);
    g_free(decoded);
    const auto claims = json::parse(text);
    if (!claims) {
        return std::nullopt;
    }
    return json::number(*claims, "exp");
}

} // namespace ostral::supabase
