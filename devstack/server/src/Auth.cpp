#include "Endpoints.h"
#include "RestQuery.h"

#include <fmt/format.h>
#include <glib.h>

#include <ctime>
#include <random>

namespace ostral::devstack {
namespace {

// Columns of auth.users as the user object needs them; times in UTC with microseconds.
constexpr const char* userColumns =
    "id::text, email, raw_app_meta_data::text, raw_user_meta_data::text, "
    "to_char(created_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.US\"Z\"'), "
    "to_char(updated_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.US\"Z\"'), "
    "to_char(last_sign_in_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.US\"Z\"')";

struct AuthFailure {
    int status;
    std::string code;
    std::string message;
};

Failure<AuthFailure> failure(int status, std::string code, std::string message) {
    return Failure{AuthFailure{status, std::move(code), std::move(message)}};
}

// Callers that send X-Supabase-Api-Version (2024-01-01 or later) get {code, message}; older
// callers get {code: status, error_code, msg}.
bool usesNewErrors(const HttpRequest& request) {
    const auto version = request.header("x-supabase-api-version");
    return version && version->size() == 10 && *version >= "2024-01-01" && *version <= "9999-99-99";
}

HttpResponse authResponse(const HttpRequest& request, HttpResponse response) {
    if (usesNewErrors(request)) {
        response.withHeader("X-Supabase-Api-Version", "2024-01-01");
    }
    return response;
}

HttpResponse errorResponse(const HttpRequest& request, const AuthFailure& error) {
    nlohmann::json body;
    if (usesNewErrors(request)) {
        body = {{"code", error.code}, {"message", error.message}};
    } else {
        body = {{"code", error.status}, {"error_code", error.code}, {"msg", error.message}};
    }
    HttpResponse response = HttpResponse::json(error.status, body);
    response.withHeader("x-sb-error-code", error.code);
    return authResponse(request, std::move(response));
}

AuthFailure databaseFailure(const DbError& error) {
    return AuthFailure{500, "unexpected_failure", "Database error: " + error.message};
}

// Go's RFC 3339 with nanoseconds drops trailing zeros of the fraction, and the fraction when
// it is zero.
nlohmann::json goTime(const DbValue& text) {
    if (!text) {
        return nlohmann::json();
    }
    std::string value = *text;
    const auto dot = value.find('.');
    if (dot != std::string::npos && !value.empty() && value.back() == 'Z') {
        std::string fraction = value.substr(dot + 1, value.size() - dot - 2);
        while (!fraction.empty() && fraction.back() == '0') {
            fraction.pop_back();
        }
        value = value.substr(0, dot) + (fraction.empty() ? "" : "." + fraction) + "Z";
    }
    return value;
}

nlohmann::json jsonColumn(const DbValue& text, nlohmann::json fallback) {
    if (!text) {
        return fallback;
    }
    auto value = nlohmann::json::parse(*text, nullptr, false);
    return value.is_discarded() || value.is_null() ? fallback : value;
}

nlohmann::json userJson(const DbRows& rows) {
    const auto& row = rows.rows.at(0);
    const std::string id = row[0].value_or("");
    const std::string email = row[1].value_or("");
    const nlohmann::json created = goTime(row[4]);
    const nlohmann::json updated = goTime(row[5]);
    const nlohmann::json lastSignIn = goTime(row[6]);
    nlohmann::json identity = {
        {"identity_id", id},
        {"id", id},
        {"user_id", id},
        {"identity_data",
         {{"email", email}, {"email_verified", false}, {"phone_verified", false}, {"sub", id}}},
        {"provider", "email"},
        {"created_at", created},
        {"updated_at", updated},
        {"email", email}};
    nlohmann::json user = {
        {"id", id},
        {"aud", "authenticated"},
        {"role", "authenticated"},
        {"email", email},
        {"phone", ""},
        {"app_metadata", jsonColumn(row[2], {{"provider", "email"},
                                             {"providers", nlohmann::json::array({"email"})}})},
        {"user_metadata", jsonColumn(row[3], nlohmann::json::object())},
        {"identities", nlohmann::json::array()},
        {"created_at", created},
        {"updated_at", updated},
        {"is_anonymous", false}};
    // Accounts are made by the command line, confirmed from the start.
    user["email_confirmed_at"] = created;
    user["confirmed_at"] = created;
    if (!lastSignIn.is_null()) {
        user["last_sign_in_at"] = lastSignIn;
        identity["last_sign_in_at"] = lastSignIn;
    }
    user["identities"].push_back(std::move(identity));
    return user;
}

std::string randomToken() {
    std::random_device source;
    std::string bytes;
    for (int i = 0; i < 6; ++i) {
        const auto word = source();
        for (int shift = 0; shift < 32; shift += 8) {
            bytes += static_cast<char>(word >> shift & 0xFF);
        }
    }
    return base64UrlEncode(bytes);
}

bool hasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

Outcome<nlohmann::json, AuthFailure> parseBody(const HttpRequest& request) {
    auto body = nlohmann::json::parse(request.body.empty() ? std::string("{}") : request.body,
                                      nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return failure(400, "bad_json", "Could not parse request body as JSON");
    }
    return body;
}

std::string stringField(const nlohmann::json& body, const char* name) {
    const auto found = body.find(name);
    return found != body.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// A new session (or a refreshed one) for the user in `users` (one row of userColumns).
nlohmann::json sessionJson(Server& server, const DbRows& users, const std::string& sessionId,
                           const std::string& refreshToken) {
    nlohmann::json user = userJson(users);
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    const std::int64_t expiresIn = server.options().jwtExpirySeconds;
    const nlohmann::json claims = {
        {"iss", server.issuer()},
        {"sub", user["id"]},
        {"aud", "authenticated"},
        {"exp", now + expiresIn},
        {"iat", now},
        {"email", user["email"]},
        {"phone", ""},
        {"app_metadata", user["app_metadata"]},
        {"user_metadata", user["user_metadata"]},
        {"role", "authenticated"},
        {"aal", "aal1"},
        {"amr", nlohmann::json::array({{{"method", "password"}, {"timestamp", now}}})},
        {"session_id", sessionId},
        {"is_anonymous", false}};
    return {{"access_token", Jwt::sign(claims, server.options().jwtSecret)},
            {"token_type", "bearer"},
            {"expires_in", expiresIn},
            {"expires_at", now + expiresIn},
            {"refresh_token", refreshToken},
            {"user", std::move(user)}};
}

Outcome<nlohmann::json, AuthFailure> passwordGrant(Server& server, const nlohmann::json& body) {
    const std::string email = stringField(body, "email");
    const std::string password = stringField(body, "password");
    if (email.empty() && stringField(body, "phone").empty()) {
        return failure(400, "validation_failed", "missing email or phone");
    }
    if (email.empty() || password.empty() || hasNul(email) || hasNul(password)) {
        return failure(400, "invalid_credentials", "Invalid login credentials");
    }
    auto result = server.db().inTransaction([&](Db& db) -> Outcome<nlohmann::json, DbError> {
        auto users = db.exec(fmt::format("UPDATE auth.users SET last_sign_in_at = now() "
                                         "WHERE email = lower($1) AND encrypted_password = "
                                         "crypt($2, encrypted_password) RETURNING {}",
                                         userColumns),
                             {email, password});
        if (!users) {
            return Failure{std::move(users).error()};
        }
        if (users->rows.empty()) {
            return nlohmann::json();
        }
        const std::string userId = users->rows[0][0].value_or("");
        auto session = db.exec(
            "INSERT INTO auth.sessions (user_id) VALUES ($1::uuid) RETURNING id::text", {userId});
        if (!session) {
            return Failure{std::move(session).error()};
        }
        const std::string sessionId = session->rows.at(0).at(0).value_or("");
        const std::string token = randomToken();
        if (auto stored = db.exec("INSERT INTO auth.refresh_tokens (token, session_id, user_id) "
                                  "VALUES ($1, $2::uuid, $3::uuid)",
                                  {token, sessionId, userId});
            !stored) {
            return Failure{std::move(stored).error()};
        }
        return sessionJson(server, *users, sessionId, token);
    });
    if (!result) {
        return Failure{databaseFailure(result.error())};
    }
    if (result->is_null()) {
        return failure(400, "invalid_credentials", "Invalid login credentials");
    }
    return std::move(result).value();
}

Outcome<nlohmann::json, AuthFailure> refreshGrant(Server& server, const nlohmann::json& body) {
    const std::string token = stringField(body, "refresh_token");
    if (token.empty()) {
        return failure(400, "validation_failed", "refresh_token required");
    }
    if (hasNul(token)) {
        return failure(400, "refresh_token_not_found",
                       "Invalid Refresh Token: Refresh Token Not Found");
    }
    std::optional<AuthFailure> refused;
    auto result = server.db().inTransaction([&](Db& db) -> Outcome<nlohmann::json, DbError> {
        auto found = db.exec("SELECT session_id::text, user_id::text, revoked FROM "
                             "auth.refresh_tokens WHERE token = $1 FOR UPDATE",
                             {token});
        if (!found) {
            return Failure{std::move(found).error()};
        }
        if (found->rows.empty()) {
            refused = AuthFailure{400, "refresh_token_not_found",
                                  "Invalid Refresh Token: Refresh Token Not Found"};
            return nlohmann::json();
        }
        const std::string sessionId = found->rows[0][0].value_or("");
        const std::string userId = found->rows[0][1].value_or("");
        if (found->rows[0][2].value_or("f") == "t") {
            refused = AuthFailure{400, "refresh_token_already_used",
                                  "Invalid Refresh Token: Already Used"};
            return nlohmann::json();
        }
        const std::string next = randomToken();
        if (auto revoked =
                db.exec("UPDATE auth.refresh_tokens SET revoked = true WHERE token = $1", {token});
            !revoked) {
            return Failure{std::move(revoked).error()};
        }
        if (auto stored = db.exec("INSERT INTO auth.refresh_tokens (token, session_id, user_id, "
                                  "parent) VALUES ($1, $2::uuid, $3::uuid, $4)",
                                  {next, sessionId, userId, token});
            !stored) {
            return Failure{std::move(stored).error()};
        }
        auto users = db.exec(
            fmt::format("SELECT {} FROM auth.users WHERE id = $1::uuid", userColumns), {userId});
        if (!users) {
            return Failure{std::move(users).error()};
        }
        if (users->rows.empty()) {
            refused = AuthFailure{404, "user_not_found", "User not found"};
            return nlohmann::json();
        }
        return sessionJson(server, *users, sessionId, next);
    });
    if (!result) {
        return Failure{databaseFailure(result.error())};
    }
    if (refused) {
        return Failure{*refused};
    }
    return std::move(result).value();
}

struct Caller {
    std::string userId;
    std::optional<std::string> sessionId;
};

// The user behind the request's bearer token, as GoTrue checks it for user endpoints.
Outcome<Caller, AuthFailure> caller(Server& server, const HttpRequest& request) {
    const auto authorization = request.header("authorization");
    if (!authorization || authorization->size() <= 7 ||
        g_ascii_strncasecmp(authorization->c_str(), "bearer ", 7) != 0) {
        return failure(401, "no_authorization", "This endpoint requires a valid Bearer token");
    }
    auto claims = server.verifyToken(std::string_view(*authorization).substr(7));
    if (!claims) {
        const std::string reason = claims.error().kind == JwtErrorKind::expired
                                       ? "token has invalid claims: token is expired"
                                       : claims.error().message;
        return failure(403, "bad_jwt",
                       "invalid JWT: unable to parse or verify signature, " + reason);
    }
    const auto sub = claims->find("sub");
    if (sub == claims->end() || !sub->is_string() ||
        !g_uuid_string_is_valid(sub->get<std::string>().c_str())) {
        return failure(403, "bad_jwt", "invalid claim: missing sub claim");
    }
    Caller result{sub->get<std::string>(), std::nullopt};
    if (const auto session = claims->find("session_id");
        session != claims->end() && session->is_string()) {
        const std::string id = session->get<std::string>();
        if (!g_uuid_string_is_valid(id.c_str())) {
            return failure(403, "bad_jwt", "invalid claim: session_id claim must be a UUID");
        }
        auto found = server.db().exec("SELECT 1 FROM auth.sessions WHERE id = $1::uuid", {id});
        if (!found) {
            return Failure{databaseFailure(found.error())};
        }
        if (found->rows.empty()) {
            return failure(403, "session_not_found",
                           "Session from session_id claim in JWT does not exist");
        }
        result.sessionId = id;
    }
    return result;
}

HttpResponse token(Server& server, const HttpRequest& request) {
    std::string grant;
    for (const auto& [name, value] : parseQueryString(request.rawQuery)) {
        if (name == "grant_type") {
            grant = value;
        }
    }
    auto body = parseBody(request);
    if (!body) {
        return errorResponse(request, body.error());
    }
    Outcome<nlohmann::json, AuthFailure> session =
        grant == "password"        ? passwordGrant(server, *body)
        : grant == "refresh_token" ? refreshGrant(server, *body)
                                   : failure(400, "validation_failed", "unsupported_grant_type");
    if (!session) {
        return errorResponse(request, session.error());
    }
    return authResponse(request, HttpResponse::json(200, *session));
}

HttpResponse user(Server& server, const HttpRequest& request) {
    auto who = caller(server, request);
    if (!who) {
        return errorResponse(request, who.error());
    }
    auto users = server.db().exec(
        fmt::format("SELECT {} FROM auth.users WHERE id = $1::uuid", userColumns), {who->userId});
    if (!users) {
        return errorResponse(request, databaseFailure(users.error()));
    }
    if (users->rows.empty()) {
        return errorResponse(request, AuthFailure{404, "user_not_found",
                                                  "User from sub claim in JWT does not exist"});
    }
    return authResponse(request, HttpResponse::json(200, userJson(*users)));
}

HttpResponse logout(Server& server, const HttpRequest& request) {
    std::string scope = "global";
    for (const auto& [name, value] : parseQueryString(request.rawQuery)) {
        if (name == "scope") {
            scope = value;
        }
    }
    if (scope != "global" && scope != "local" && scope != "others") {
        return errorResponse(request,
                             AuthFailure{400, "validation_failed", "Unsupported logout scope"});
    }
    auto who = caller(server, request);
    if (!who) {
        return errorResponse(request, who.error());
    }
    // Refresh tokens go with their sessions (ON DELETE CASCADE).
    Outcome<DbRows, DbError> deleted = DbRows{};
    if (scope == "global") {
        deleted =
            server.db().exec("DELETE FROM auth.sessions WHERE user_id = $1::uuid", {who->userId});
    } else if (who->sessionId && scope == "local") {
        deleted =
            server.db().exec("DELETE FROM auth.sessions WHERE id = $1::uuid", {who->sessionId});
    } else if (who->sessionId) {
        deleted = server.db().exec(
            "DELETE FROM auth.sessions WHERE user_id = $1::uuid AND id <> $2::uuid",
            {who->userId, who->sessionId});
    }
    if (!deleted) {
        return errorResponse(request, databaseFailure(deleted.error()));
    }
    return authResponse(request, HttpResponse::empty(204));
}

} // namespace

HttpResponse handleAuth(Server& server, const HttpRequest& request, std::string_view subpath) {
    const auto methodNotAllowed = [&] {
        return errorResponse(request, AuthFailure{405, "method_not_allowed", "Method Not Allowed"});
    };
    if (subpath == "/token") {
        return request.method == "POST" ? token(server, request) : methodNotAllowed();
    }
    if (subpath == "/user") {
        return request.method == "GET" ? user(server, request) : methodNotAllowed();
    }
    if (subpath == "/logout") {
        return request.method == "POST" ? logout(server, request) : methodNotAllowed();
    }
    if (subpath == "/health") {
        return HttpResponse::json(200, {{"version", "devstack"},
                                        {"name", "GoTrue"},
                                        {"description", "The local backend's auth endpoint"}});
    }
    return errorResponse(request, AuthFailure{404, "not_found", "Not Found"});
}

} // namespace ostral::devstack
