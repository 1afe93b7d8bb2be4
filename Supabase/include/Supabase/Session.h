#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// The signed-in user's session as the auth service hands it out and as we keep it between
// launches: the flat snake_case token response ({"access_token", "token_type", "expires_in",
// "expires_at", "refresh_token", "user"}), the same JSON the portal's web client stores.
namespace ostral::supabase {

struct User {
    std::string id;
    // Empty when the account has none.
    std::string email;
    // The user object exactly as the auth service sent it.
    nlohmann::json raw = nlohmann::json::object();

    // Reads an auth service user object; nullopt unless it is an object with a non-empty "id".
    static std::optional<User> fromJson(const nlohmann::json& value);

    bool operator==(const User&) const = default;
};

struct Session {
    std::string accessToken;
    std::string tokenType = "bearer";
    std::string refreshToken;
    std::int64_t expiresIn = 0;
    // When the access token expires, in seconds since 1970.
    double expiresAt = 0;
    User user;

    // True when fewer than 30 seconds of the access token's life remain.
    bool isExpired(double nowUnixSeconds) const;

    nlohmann::json toJson() const;
    std::string toJsonText() const;

    // Reads a session; never throws. A value without a non-empty access_token, refresh_token and
    // a user with an id is refused, and so is one without expires_at unless `nowUnixSeconds` is
    // given, in which case expires_at is taken as now + expires_in (as a fresh token response
    // may omit it).
    static std::optional<Session> fromJson(const nlohmann::json& value,
                                           std::optional<double> nowUnixSeconds = std::nullopt);
    static std::optional<Session> fromJsonText(std::string_view text,
                                               std::optional<double> nowUnixSeconds = std::nullopt);

    bool operator==(const Session&) const = default;
};

enum class AuthChangeEvent {
    initialSession,
    passwordRecovery,
    signedIn,
    signedOut,
    tokenRefreshed,
    userUpdated,
    userDeleted,
    mfaChallengeVerified,
};

// "INITIAL_SESSION", "SIGNED_IN", ... as the auth clients name them.
std::string_view authChangeEventName(AuthChangeEvent event);

struct AuthStateChange {
    AuthChangeEvent event = AuthChangeEvent::initialSession;
    std::optional<Session> session;

    bool operator==(const AuthStateChange&) const = default;
};

// Compact JSON text; bytes that are not UTF-8 inside strings become U+FFFD instead of throwing.
std::string jsonText(const nlohmann::json& value);

// The "exp" claim of a JSON Web Token, read without checking the signature; nullopt when the
// token has no readable payload or no numeric exp.
std::optional<double> jwtExpiry(std::string_view token);

} // namespace ostral::supabase
