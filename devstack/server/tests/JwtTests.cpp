#include "Jwt.h"

#include <gtest/gtest.h>

namespace ostral::devstack {
namespace {

constexpr std::string_view secret = "ostral-devstack-local-jwt-secret-0123456789abcdef";
constexpr std::int64_t now = 1800000000;

TEST(Jwt, SignedClaimsVerifyBack) {
    const nlohmann::json claims = {{"sub", "u1"}, {"role", "authenticated"}, {"exp", now + 60}};
    const auto verified = Jwt::verify(Jwt::sign(claims, secret), secret, now);
    ASSERT_TRUE(verified) << verified.error().message;
    EXPECT_EQ(*verified, claims);
}

TEST(Jwt, FixedKeysAreTheDocumentedTokens) {
    // HS256 over the exact header and payload texts; computed independently.
    EXPECT_EQ(Jwt::anonKey(secret),
              "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9."
              "eyJpc3MiOiJvc3RyYWwtZGV2c3RhY2siLCJyZWYiOiIxMjciLCJyb2xlIjoiYW5vbiIsImlhdCI6MTc2"
              "NTQxMTIwMCwiZXhwIjoyMDgwNzcxMjAwfQ.w9LKXlNtA--daQ6qx2jCgD09RJe2Ofgn7Zp9Yo8Vm34");
    const auto service = Jwt::verify(Jwt::serviceKey(secret), secret, now);
    ASSERT_TRUE(service);
    EXPECT_EQ((*service)["role"], "service_role");
    EXPECT_EQ((*service)["exp"], 2080771200);
}

TEST(Jwt, RejectsBadTokens) {
    const std::string good = Jwt::sign({{"sub", "u1"}, {"exp", now + 60}}, secret);
    const auto dot = good.find('.');
    const std::string header = good.substr(0, dot);
    const std::string signatureOf = good.substr(good.rfind('.'));
    const auto withPayload = [&](const std::string& payloadText) {
        return Jwt::signPayloadText(payloadText, secret);
    };
    const auto withHeader = [&](const std::string& headerText) {
        const std::string signedPayload = good.substr(dot);
        return base64UrlEncode(headerText) + signedPayload;
    };
    struct Case {
        const char* name;
        std::string token;
        JwtErrorKind kind;
    };
    const Case cases[] = {
        {"empty", "", JwtErrorKind::malformed},
        {"one part", "abc", JwtErrorKind::malformed},
        {"two parts", header + ".e30", JwtErrorKind::malformed},
        {"four parts", good + ".x", JwtErrorKind::malformed},
        {"header not base64url", "!!!" + good.substr(dot), JwtErrorKind::malformed},
        {"header not JSON", withHeader("not json"), JwtErrorKind::malformed},
        {"alg none", withHeader(R"({"alg":"none","typ":"JWT"})"),
         JwtErrorKind::unsupportedAlgorithm},
        {"alg HS512", withHeader(R"({"alg":"HS512","typ":"JWT"})"),
         JwtErrorKind::unsupportedAlgorithm},
        {"other secret", Jwt::sign({{"sub", "u1"}}, "another secret"), JwtErrorKind::badSignature},
        {"payload swapped", header + "." + base64UrlEncode(R"({"sub":"admin"})") + signatureOf,
         JwtErrorKind::badSignature},
        {"signature cut", good.substr(0, good.size() - 2), JwtErrorKind::badSignature},
        {"payload an array", withPayload("[1,2]"), JwtErrorKind::malformed},
        {"exp a string", withPayload(R"({"exp":"soon"})"), JwtErrorKind::malformed},
        {"expired", withPayload(R"({"exp":1799999999})"), JwtErrorKind::expired},
        {"expires now", withPayload(R"({"exp":1800000000})"), JwtErrorKind::expired},
        {"not yet valid", withPayload(R"({"nbf":1800000100})"), JwtErrorKind::notYetValid},
    };
    for (const auto& c : cases) {
        const auto verified = Jwt::verify(c.token, secret, now);
        ASSERT_FALSE(verified) << c.name;
        EXPECT_EQ(verified.error().kind, c.kind) << c.name << ": " << verified.error().message;
    }
    const auto expired = Jwt::verify(withPayload(R"({"exp":1})"), secret, now);
    ASSERT_FALSE(expired);
    EXPECT_EQ(expired.error().message, "JWT expired");
}

TEST(Jwt, Base64UrlRoundTripsAndRefusesNonCanonicalText) {
    const std::string samples[] = {"",    "f",    "fo",
                                   "foo", "foob", std::string("\xff\xfe\x00\x01", 4)};
    for (const auto& bytes : samples) {
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(bytes)), bytes);
    }
    EXPECT_EQ(base64UrlEncode("\xfb\xff"), "-_8");
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"Zm9v", true}, {"Zm8", true}, {"Zg", true},    {"Zm9v=", false}, {"Zg==", false},
        {"Z", false},   {"Zh", false}, {"Zm+v", false}, {"Zm/v", false},  {"Zm9 v", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base64UrlDecode(c.text).has_value(), c.valid) << c.text;
    }
}

} // namespace
} // namespace ostral::devstack
