#include <Supabase/Responses.h>
#include <Supabase/Session.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace ostral::supabase {
namespace {

constexpr double kNow = 1'700'000'000;

TEST(SessionDecoding, ReadsTheTokenResponseAndRefusesIncompleteOnes) {
    struct Case {
        const char* name;
        std::string text;
        bool withNow;
        std::optional<double> expiresAt; // nullopt: refused
    };
    const std::string user = R"("user":{"id":"u-1","email":"a@b.c","aud":"authenticated"})";
    const Case cases[] = {
        {"complete",
         R"({"access_token":"a","token_type":"bearer","expires_in":3600,)"
         R"("expires_at":1700003600,"refresh_token":"r",)" +
             user + "}",
         false, 1700003600},
        {"fractional expiry",
         R"({"access_token":"a","expires_at":1700003600.5,"refresh_token":"r",)" + user + "}",
         false, 1700003600.5},
        {"expires_at from expires_in",
         R"({"access_token":"a","expires_in":3600,"refresh_token":"r",)" + user + "}", true,
         kNow + 3600},
        {"stored value without expires_at",
         R"({"access_token":"a","expires_in":3600,"refresh_token":"r",)" + user + "}", false,
         std::nullopt},
        {"no access token", R"({"expires_at":1,"refresh_token":"r",)" + user + "}", false,
         std::nullopt},
        {"empty refresh token",
         R"({"access_token":"a","expires_at":1,"refresh_token":"",)" + user + "}", false,
         std::nullopt},
        {"token not a string",
         R"({"access_token":7,"expires_at":1,"refresh_token":"r",)" + user + "}", false,
         std::nullopt},
        {"expiry not a number",
         R"({"access_token":"a","expires_at":"1","refresh_token":"r",)" + user + "}", false,
         std::nullopt},
        {"no user", R"({"access_token":"a","expires_at":1,"refresh_token":"r"})", false,
         std::nullopt},
        {"user without id",
         R"({"access_token":"a","expires_at":1,"refresh_token":"r","user":{"email":"x"}})", false,
         std::nullopt},
        {"expires_in too large for a whole number",
         R"({"access_token":"a","expires_in":1e300,"expires_at":5,"refresh_token":"r",)" + user +
             "}",
         false, 5},
        {"an array", "[1,2]", false, std::nullopt},
        {"truncated", R"({"access_token":"a","expires_at":1,"refr)", false, std::nullopt},
        {"not JSON", "<html>502</html>", false, std::nullopt},
        {"nested too deeply", std::string(5000, '[') + std::string(5000, ']'), false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto session =
            Session::fromJsonText(c.text, c.withNow ? std::optional<double>(kNow) : std::nullopt);
        ASSERT_EQ(session.has_value(), c.expiresAt.has_value());
        if (session) {
            EXPECT_EQ(session->expiresAt, *c.expiresAt);
            EXPECT_EQ(session->user.id, "u-1");
            EXPECT_EQ(session->user.email, "a@b.c");
            EXPECT_EQ(session->user.raw["aud"], "authenticated");
            EXPECT_EQ(session->tokenType, "bearer");
        }
    }
}

TEST(SessionDecoding, AStoredSessionReadsBackEqual) {
    Session session;
    session.accessToken = "access";
    session.refreshToken = "refresh";
    session.expiresIn = 3600;
    session.expiresAt = 1700003600;
    session.user = User{"u-1", "a@b.c", {{"id", "u-1"}, {"email", "a@b.c"}, {"role", "x"}}};
    const nlohmann::json json = session.toJson();
    EXPECT_EQ(json["expires_at"], 1700003600) << "whole seconds are written as an integer";
    EXPECT_TRUE(json["expires_at"].is_number_integer());
    EXPECT_EQ(Session::fromJsonText(session.toJsonText()), session);

    session.expiresAt = 1700003600.25;
    EXPECT_EQ(Session::fromJsonText(session.toJsonText()), session);

    session.accessToken = "bad \xff byte";
    EXPECT_NO_THROW((void)session.toJsonText());
}

TEST(SessionDecoding, ExpiryLeavesThirtySecondsOfMargin) {
    Session session;
    session.expiresAt = kNow + 30;
    EXPECT_FALSE(session.isExpired(kNow));
    EXPECT_TRUE(session.isExpired(kNow + 0.5));
    EXPECT_TRUE(session.isExpired(kNow + 100));
}

TEST(JwtExpiry, ReadsTheExpClaimWithoutVerifying) {
    struct Case {
        const char* name;
        std::string token;
        std::optional<double> exp;
    };
    // {"sub":"u","exp":1700000000} and {"sub":"u"}
    const Case cases[] = {
        {"with exp", "eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiJ1IiwiZXhwIjoxNzAwMDAwMDAwfQ.sig", 1700000000},
        {"without exp", "eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiJ1In0.sig", std::nullopt},
        {"one part", "abc", std::nullopt},
        {"two parts", "abc.def", std::nullopt},
        {"payload not base64", "a.!!!.c", std::nullopt},
        {"payload not JSON", "a.aGVsbG8.c", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(jwtExpiry(c.token), c.exp);
    }
}

TEST(ErrorDecoding, AuthErrorsInEveryShape) {
    struct Case {
        const char* name;
        unsigned status;
        std::string body;
        std::string code;
        std::string message;
    };
    const Case cases[] = {
        {"current API", 400,
         R"({"code":"invalid_credentials","message":"Invalid login credentials"})",
         "invalid_credentials", "Invalid login credentials"},
        {"older API", 400,
         R"({"code":400,"error_code":"refresh_token_not_found","msg":"Invalid Refresh Token"})",
         "refresh_token_not_found", "Invalid Refresh Token"},
        {"OAuth form", 400,
         R"({"error":"invalid_grant","error_description":"Invalid login credentials"})",
         "invalid_grant", "Invalid login credentials"},
        {"not JSON", 502, "Bad Gateway", "", ""},
        {"empty", 500, "", "", ""},
        {"JSON but not an object", 400, "[\"x\"]", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Error error = authError(c.status, c.body);
        EXPECT_EQ(error.kind, Error::Kind::api);
        EXPECT_EQ(error.status, c.status);
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.message, c.message);
        EXPECT_FALSE(error.description().empty());
    }
}

TEST(ErrorDecoding, OnlyDeadRefreshTokensCountAsRejected) {
    for (const char* code : {"refresh_token_not_found", "refresh_token_already_used",
                             "session_not_found", "session_expired"}) {
        EXPECT_TRUE(isRefreshTokenRejected(authError(400, fmt::format(R"({{"code":"{}"}})", code))))
            << code;
    }
    for (const char* code : {"invalid_credentials", "over_request_rate_limit", "bad_jwt", ""}) {
        EXPECT_FALSE(
            isRefreshTokenRejected(authError(400, fmt::format(R"({{"code":"{}"}})", code))))
            << code;
    }
    Error transport;
    transport.kind = Error::Kind::transport;
    transport.code = "session_not_found";
    EXPECT_FALSE(isRefreshTokenRejected(transport));
}

TEST(ErrorDecoding, PostgrestErrorsKeepEveryField) {
    const Error duplicate = postgrestError(
        409,
        R"({"code":"23505","details":"Key (call_id, user_id)=(1, 2) already exists.",)"
        R"("hint":null,"message":"duplicate key value violates unique constraint \"acks_pkey\""})");
    EXPECT_EQ(duplicate.kind, Error::Kind::api);
    EXPECT_EQ(duplicate.status, 409u);
    EXPECT_EQ(duplicate.code, "23505");
    EXPECT_EQ(duplicate.message, "duplicate key value violates unique constraint \"acks_pkey\"");
    EXPECT_EQ(duplicate.details, "Key (call_id, user_id)=(1, 2) already exists.");
    EXPECT_EQ(duplicate.hint, std::nullopt);

    const Error single = postgrestError(
        406,
        R"({"code":"PGRST116","details":"The result contains 0 rows","hint":"h","message":"m"})");
    EXPECT_EQ(single.code, "PGRST116");
    EXPECT_EQ(single.hint, "h");

    const Error garbage = postgrestError(503, "upstream timeout");
    EXPECT_EQ(garbage.kind, Error::Kind::api);
    EXPECT_EQ(garbage.status, 503u);
    EXPECT_TRUE(garbage.code.empty());
}

TEST(ResponseReading, PostgrestBodies) {
    struct Case {
        const char* name;
        HttpResponse response;
        std::optional<nlohmann::json> value; // nullopt: an error
        Error::Kind kind = Error::Kind::api;
    };
    const Case cases[] = {
        {"rows", {200, {}, R"([{"a":1}])"}, nlohmann::json::parse(R"([{"a":1}])")},
        {"no rows", {200, {}, "[]"}, nlohmann::json::array()},
        {"write without representation", {201, {}, ""}, nlohmann::json(nullptr)},
        {"void function", {204, {}, ""}, nlohmann::json(nullptr)},
        {"scalar function result", {200, {}, "42"}, nlohmann::json(42)},
        {"truncated", {200, {}, R"([{"a":)"}, std::nullopt, Error::Kind::decoding},
        {"HTML", {200, {}, "<html>"}, std::nullopt, Error::Kind::decoding},
        {"error", {409, {}, R"({"code":"23505","message":"dup"})"}, std::nullopt, Error::Kind::api},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result<nlohmann::json> result = readPostgrestResponse(c.response);
        ASSERT_EQ(result.hasValue(), c.value.has_value());
        if (c.value) {
            EXPECT_EQ(*result, *c.value);
        } else {
            EXPECT_EQ(result.error().kind, c.kind);
            EXPECT_EQ(result.error().status, c.response.status);
        }
    }
}

TEST(ResponseReading, SessionAndUserAnswers) {
    const HttpResponse token{
        200, {}, R"({"access_token":"a","expires_in":60,"refresh_token":"r","user":{"id":"u"}})"};
    const Result<Session> session = readSessionResponse(token, kNow);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->expiresAt, kNow + 60);

    EXPECT_EQ(readSessionResponse({200, {}, R"({"user":{"id":"u"}})"}, kNow).error().kind,
              Error::Kind::decoding);
    EXPECT_EQ(
        readSessionResponse({400, {}, R"({"code":"invalid_credentials"})"}, kNow).error().code,
        "invalid_credentials");
    EXPECT_EQ(readUserResponse({200, {}, R"({"id":"u","email":"e"})"})->email, "e");
    EXPECT_EQ(readUserResponse({200, {}, R"({"email":"e"})"}).error().kind, Error::Kind::decoding);
    EXPECT_EQ(readUserResponse({403, {}, R"({"code":"bad_jwt"})"}).error().code, "bad_jwt");
}

} // namespace
} // namespace ostral::supabase
