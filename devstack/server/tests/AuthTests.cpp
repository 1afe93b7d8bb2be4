#include "Jwt.h"
#include "ServerFixture.h"

#include <gtest/gtest.h>

namespace ostral::devstack::testing {
namespace {

const Headers apiVersion = {{"X-Supabase-Api-Version", "2024-01-01"}};

class Auth : public ::testing::Test {
protected:
    void SetUp() override {
        test = ServerTest::create();
        ASSERT_TRUE(test);
        email = "auth-" + test->suffix + "@example.test";
        userId = test->makeUser(email, password);
    }

    HttpResult signIn(const std::string& withEmail, const std::string& withPassword,
                      const Headers& headers = apiVersion) {
        return test->call("POST", "/auth/v1/token?grant_type=password", std::nullopt,
                          nlohmann::json{{"email", withEmail}, {"password", withPassword}}.dump(),
                          headers);
    }
    nlohmann::json session() {
        const auto result = signIn(email, password);
        EXPECT_EQ(result.status, 200) << result.body;
        return result.json();
    }
    HttpResult refresh(const std::string& token) {
        return test->call("POST", "/auth/v1/token?grant_type=refresh_token", std::nullopt,
                          nlohmann::json{{"refresh_token", token}}.dump(), apiVersion);
    }

    std::unique_ptr<ServerTest> test;
    std::string email;
    std::string userId;
    const std::string password = "correct horse";
};

TEST_F(Auth, PasswordSignInGivesASessionWithTheUser) {
    const auto result = signIn(email, password);
    ASSERT_EQ(result.status, 200) << result.body;
    EXPECT_EQ(result.header("x-supabase-api-version"), "2024-01-01");
    const auto body = result.json();
    EXPECT_EQ(body["token_type"], "bearer");
    EXPECT_EQ(body["expires_in"], 3600);
    EXPECT_FALSE(body["refresh_token"].get<std::string>().empty());
    EXPECT_EQ(body["user"]["id"], userId);
    EXPECT_EQ(body["user"]["email"], email);
    EXPECT_EQ(body["user"]["aud"], "authenticated");
    EXPECT_EQ(body["user"]["role"], "authenticated");
    EXPECT_TRUE(body["user"]["app_metadata"].is_object());
    EXPECT_TRUE(body["user"]["identities"].is_array());
    // Go's RFC 3339: UTC with a Z.
    EXPECT_EQ(body["user"]["last_sign_in_at"].get<std::string>().back(), 'Z');

    const auto claims = Jwt::verify(body["access_token"].get<std::string>(), test->secret());
    ASSERT_TRUE(claims);
    EXPECT_EQ((*claims)["sub"], userId);
    EXPECT_EQ((*claims)["role"], "authenticated");
    EXPECT_EQ((*claims)["aud"], "authenticated");
    EXPECT_EQ((*claims)["email"], email);
    EXPECT_EQ((*claims)["iss"], test->server->url() + "/auth/v1");
    EXPECT_EQ((*claims)["exp"].get<std::int64_t>() - (*claims)["iat"].get<std::int64_t>(), 3600);
    EXPECT_EQ(body["expires_at"], (*claims)["exp"]);
    const auto sessions =
        test->sql("SELECT id::text FROM auth.sessions WHERE user_id = $1::uuid", {userId});
    ASSERT_EQ(sessions.rows.size(), 1u);
    EXPECT_EQ((*claims)["session_id"], *sessions.rows[0][0]);
    const auto signedIn = test->sql(
        "SELECT last_sign_in_at IS NOT NULL FROM auth.users WHERE id = $1::uuid", {userId});
    EXPECT_EQ(signedIn.rows.at(0).at(0), "t");

    // Emails are matched without regard to case.
    EXPECT_EQ(signIn("AUTH-" + test->suffix + "@Example.TEST", password).status, 200);
}

TEST_F(Auth, RefusedSignInsUseBothErrorShapes) {
    struct Case {
        std::string email;
        std::string password;
        std::string code;
    };
    const Case cases[] = {
        {email, "wrong", "invalid_credentials"},
        {"nobody-" + test->suffix + "@example.test", password, "invalid_credentials"},
        {email, "", "invalid_credentials"},
        {email, password + std::string(1, '\0') + "x", "invalid_credentials"},
        {"", password, "validation_failed"},
    };
    for (const auto& c : cases) {
        const auto current = signIn(c.email, c.password);
        EXPECT_EQ(current.status, 400) << c.email;
        EXPECT_EQ(current.json(), (nlohmann::json{{"code", c.code},
                                                  {"message", c.code == "invalid_credentials"
                                                                  ? "Invalid login credentials"
                                                                  : "missing email or phone"}}));
        EXPECT_EQ(current.header("x-sb-error-code"), c.code);

        const auto legacy = signIn(c.email, c.password, {});
        EXPECT_EQ(legacy.status, 400);
        EXPECT_EQ(legacy.json()["code"], 400);
        EXPECT_EQ(legacy.json()["error_code"], c.code);
        EXPECT_TRUE(legacy.json()["msg"].is_string());
        EXPECT_EQ(legacy.header("x-sb-error-code"), c.code);
    }
    const auto badJson = test->call("POST", "/auth/v1/token?grant_type=password", std::nullopt,
                                    "{\"email\":", apiVersion);
    EXPECT_EQ(badJson.status, 400);
    EXPECT_EQ(badJson.json()["code"], "bad_json");
    const auto badGrant =
        test->call("POST", "/auth/v1/token?grant_type=magic", std::nullopt, "{}", apiVersion);
    EXPECT_EQ(badGrant.status, 400);
}

TEST_F(Auth, RefreshTokensRotateAndCannotBeReused) {
    const auto first = session();
    const std::string token = first["refresh_token"];
    const auto refreshed = refresh(token);
    ASSERT_EQ(refreshed.status, 200) << refreshed.body;
    const auto second = refreshed.json();
    EXPECT_NE(second["refresh_token"], token);
    EXPECT_EQ(second["user"]["id"], userId);
    const auto claims = Jwt::verify(second["access_token"].get<std::string>(), test->secret());
    ASSERT_TRUE(claims);
    const auto firstClaims = Jwt::verify(first["access_token"].get<std::string>(), test->secret());
    EXPECT_EQ((*claims)["session_id"], (*firstClaims)["session_id"]);

    const auto reused = refresh(token);
    EXPECT_EQ(reused.status, 400);
    EXPECT_EQ(reused.json()["code"], "refresh_token_already_used");

    const auto unknown = refresh("not-a-token-" + test->suffix);
    EXPECT_EQ(unknown.status, 400);
    EXPECT_EQ(unknown.json(),
              (nlohmann::json{{"code", "refresh_token_not_found"},
                              {"message", "Invalid Refresh Token: Refresh Token Not Found"}}));

    EXPECT_EQ(refresh(second["refresh_token"]).status, 200);
}

TEST_F(Auth, LogoutScopesEndTheRightSessions) {
    const auto a = session();
    const auto b = session();
    const auto c = session();
    const auto logout = [&](const nlohmann::json& s, const std::string& scope) {
        return test->call("POST", "/auth/v1/logout" + scope, s["access_token"].get<std::string>(),
                          "", apiVersion);
    };
    const auto bad = logout(a, "?scope=everything");
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(bad.json(), (nlohmann::json{{"code", "validation_failed"},
                                          {"message", "Unsupported logout scope"}}));

    EXPECT_EQ(logout(a, "?scope=others").status, 204);
    EXPECT_EQ(refresh(b["refresh_token"]).json()["code"], "refresh_token_not_found");
    EXPECT_EQ(refresh(c["refresh_token"]).json()["code"], "refresh_token_not_found");
    const auto stillA = refresh(a["refresh_token"]);
    ASSERT_EQ(stillA.status, 200);

    const auto d = session();
    EXPECT_EQ(logout(stillA.json(), "?scope=local").status, 204);
    EXPECT_EQ(refresh(stillA.json()["refresh_token"]).status, 400);
    EXPECT_EQ(refresh(d["refresh_token"]).status, 200) << "local leaves other sessions";

    const auto e = session();
    const auto f = session();
    EXPECT_EQ(logout(e, "").status, 204) << "no scope means global";
    EXPECT_EQ(refresh(f["refresh_token"]).status, 400);
    EXPECT_TRUE(
        test->sql("SELECT 1 FROM auth.sessions WHERE user_id = $1::uuid", {userId}).rows.empty());
}

TEST_F(Auth, UserEndpointChecksTheBearerToken) {
    const auto s = session();
    const std::string access = s["access_token"];
    const auto user = test->call("GET", "/auth/v1/user", access, "", apiVersion);
    ASSERT_EQ(user.status, 200) << user.body;
    EXPECT_EQ(user.json()["id"], userId);
    EXPECT_EQ(user.json()["email"], email);

    const auto claims = *Jwt::verify(access, test->secret());
    auto expiredClaims = claims;
    expiredClaims["exp"] = 1000;
    auto noSub = claims;
    noSub.erase("sub");
    struct Case {
        const char* name;
        std::optional<std::string> bearer;
        int status;
        std::string code;
    };
    const Case cases[] = {
        {"no token", std::nullopt, 401, "no_authorization"},
        {"garbage", "garbage", 403, "bad_jwt"},
        {"other secret", Jwt::sign(claims, "other"), 403, "bad_jwt"},
        {"expired", Jwt::sign(expiredClaims, test->secret()), 403, "bad_jwt"},
        {"no sub", Jwt::sign(noSub, test->secret()), 403, "bad_jwt"},
    };
    for (const auto& c : cases) {
        Headers headers = apiVersion;
        if (c.bearer) {
            headers.emplace_back("Authorization", "Bearer " + *c.bearer);
        }
        const auto result = httpRequest(
            "GET", test->server->url() + "/auth/v1/user",
            [&] {
                Headers all = {{"apikey", test->anonKey()}};
                all.insert(all.end(), headers.begin(), headers.end());
                return all;
            }(),
            "");
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(result.json()["code"], c.code) << c.name << ": " << result.body;
    }

    ASSERT_EQ(test->call("POST", "/auth/v1/logout?scope=local", access, "", apiVersion).status,
              204);
    const auto afterLogout = test->call("GET", "/auth/v1/user", access, "", apiVersion);
    EXPECT_EQ(afterLogout.status, 403);
    EXPECT_EQ(afterLogout.json()["code"], "session_not_found");
}

TEST(AuthExpiry, AccessTokenLifetimeFollowsTheOption) {
    auto test = ServerTest::create({"--jwt-expiry", "120"});
    ASSERT_TRUE(test);
    const std::string email = "expiry-" + test->suffix + "@example.test";
    test->makeUser(email, "pw");
    const auto result = test->call("POST", "/auth/v1/token?grant_type=password", std::nullopt,
                                   nlohmann::json{{"email", email}, {"password", "pw"}}.dump());
    ASSERT_EQ(result.status, 200) << result.body;
    EXPECT_EQ(result.json()["expires_in"], 120);
}

} // namespace
} // namespace ostral::devstack::testing
