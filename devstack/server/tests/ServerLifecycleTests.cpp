#include "ServerFixture.h"

#include <gtest/gtest.h>

namespace ostral::devstack::testing {
namespace {

std::string statusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

TEST(ServerLifecycle, MalformedRequestsAreAnsweredAndServingGoesOn) {
    auto test = ServerTest::create();
    ASSERT_TRUE(test);
    const int port = test->server->port();
    const std::string key = test->anonKey();
    const std::string big(1024 * 1024 + 1, 'x');
    std::string chunked = "POST /rest/v1/x HTTP/1.1\r\nHost: x\r\napikey: " + key +
                          "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    for (int i = 0; i < 20; ++i) {
        chunked += "10000\r\n" + std::string(0x10000, 'y') + "\r\n";
    }
    chunked += "0\r\n\r\n";
    struct Case {
        const char* name;
        std::string bytes;
        std::string expectedStatus; // empty: any answer or none, as long as serving goes on
    };
    const Case cases[] = {
        {"garbage", "\x01\x02 nonsense\r\n\r\n", ""},
        {"no version", "GET /\r\n\r\n", ""},
        {"bad percent escape",
         "GET /rest/v1/%zz%00 HTTP/1.1\r\nHost: x\r\napikey: " + key +
             "\r\nConnection: close\r\n\r\n",
         ""},
        {"unknown route",
         "GET /nowhere HTTP/1.1\r\nHost: x\r\napikey: " + key + "\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 404"},
        {"declared body too large",
         "POST /rest/v1/x HTTP/1.1\r\nHost: x\r\napikey: " + key + "\r\nContent-Length: " +
             std::to_string(big.size()) + "\r\nConnection: close\r\n\r\n" + big,
         "HTTP/1.1 413"},
        {"chunked body too large", chunked, "HTTP/1.1 413"},
        {"body shorter than declared",
         "POST /rest/v1/x HTTP/1.1\r\nHost: x\r\napikey: " + key +
             "\r\nContent-Length: 100\r\n\r\n{\"a\":",
         ""},
        {"header without colon", "GET / HTTP/1.1\r\nHost x\r\n\r\n", ""},
    };
    for (const auto& c : cases) {
        const std::string answer = rawExchange(port, c.bytes, 2000);
        if (!c.expectedStatus.empty()) {
            EXPECT_EQ(statusLine(answer).rfind(c.expectedStatus, 0), 0u)
                << c.name << ": " << statusLine(answer);
        }
        const auto health = test->call("GET", "/auth/v1/health");
        ASSERT_EQ(health.status, 200) << "after " << c.name;
    }
}

TEST(ServerLifecycle, AnswersCorsPreflightsAndTagsResponses) {
    auto test = ServerTest::create();
    ASSERT_TRUE(test);
    const auto preflight =
        httpRequest("OPTIONS", test->server->url() + "/rest/v1/profiles",
                    {{"Origin", "https://portal.example"},
                     {"Access-Control-Request-Method", "PATCH"},
                     {"Access-Control-Request-Headers", "apikey, authorization, prefer"}});
    EXPECT_EQ(preflight.status, 200);
    EXPECT_EQ(preflight.header("access-control-allow-origin"), "*");
    EXPECT_NE(preflight.header("access-control-allow-methods").find("PATCH"), std::string::npos);
    EXPECT_NE(preflight.header("access-control-allow-headers").find("prefer"), std::string::npos);

    const auto refused = httpRequest("GET", test->server->url() + "/rest/v1/profiles",
                                     {{"Origin", "https://portal.example"}});
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.header("access-control-allow-origin"), "*");
}

TEST(ServerLifecycle, EndsCleanlyOnSigterm) {
    auto test = ServerTest::create();
    ASSERT_TRUE(test);
    EXPECT_EQ(test->server->stop(), 0);
}

TEST(ServerLifecycle, PrintsTheFixedKeys) {
    auto env = DevstackEnv::load();
    ASSERT_TRUE(env);
    const std::string server = env->get("OSTRAL_DEVSTACK_SERVER");
    const std::string secret = env->get("OSTRAL_DEVSTACK_JWT_SECRET");
    const char* argv[] = {server.c_str(), "--print-keys", "--jwt-secret", secret.c_str(), nullptr};
    gchar* out = nullptr;
    gint status = 0;
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                             nullptr, &out, nullptr, &status, nullptr));
    const std::string printed = out != nullptr ? out : "";
    g_free(out);
    EXPECT_EQ(printed, "anon=" + env->get("OSTRAL_DEVSTACK_ANON_KEY") +
                           "\nservice_role=" + env->get("OSTRAL_DEVSTACK_SERVICE_KEY") + "\n");
}

} // namespace
} // namespace ostral::devstack::testing
