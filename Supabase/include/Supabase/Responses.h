#pragma once

#include <Supabase/Error.h>
#include <Supabase/HttpClient.h>
#include <Supabase/Session.h>

#include <nlohmann/json.hpp>
#include <string_view>

// How the client reads the backend's answers. None of these throws, whatever the bytes.
namespace ostral::supabase {

// An auth service error answer. Reads both shapes the service sends: {"code", "message"} (the
// 2024-01-01 API) and {"code": <status>, "error_code", "msg"} (older), and the OAuth form
// {"error", "error_description"}. A body that is not JSON still gives an api error with the
// status.
Error authError(unsigned status, std::string_view body);

// A PostgREST error answer {"code", "message", "details", "hint"}; the code is the SQLSTATE for
// database errors ("23505") or PostgREST's own ("PGRST116").
Error postgrestError(unsigned status, std::string_view body);

// True for the auth errors that mean the refresh token can never work again, so the stored
// session is useless: refresh_token_not_found, refresh_token_already_used, session_not_found
// and session_expired.
bool isRefreshTokenRejected(const Error& error);

// A token response: a session (expires_at taken from expires_in when the server left it out),
// or the auth error, or a decoding error for a success that is not a session.
Result<Session> readSessionResponse(const HttpResponse& response, double nowUnixSeconds);
// A user response (GET /user).
Result<User> readUserResponse(const HttpResponse& response);
// A PostgREST answer: the JSON body (null for an empty one, as after a write without
// representation), or the PostgREST error.
Result<nlohmann::json> readPostgrestResponse(const HttpResponse& response);

} // namespace ostral::supabase
