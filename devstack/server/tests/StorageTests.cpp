#include "Jwt.h"
#include "ServerFixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace ostral::devstack::testing {
namespace {

const std::string pdfBytes = std::string("%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n") +
                             std::string(1, '\0') + "trailer\n%%EOF\n";

class Storage : public ::testing::Test {
protected:
    void SetUp() override {
        test = ServerTest::create();
        ASSERT_TRUE(test);
        const std::string folder = test->server->storageDir() + "/documents/loads";
        g_mkdir_with_parents(folder.c_str(), 0700);
        std::ofstream(folder + "/bill 1.pdf", std::ios::binary) << pdfBytes;
        // A name that is not UTF-8 cannot become a token's claim.
        std::ofstream(folder + "/\xff.pdf", std::ios::binary) << pdfBytes;
        // A file beside the storage folder, and a link from inside to it.
        outside = test->server->storageDir() + "/../outside.txt";
        std::ofstream(outside) << "secret";
        ASSERT_EQ(symlink(outside.c_str(), (folder + "/link.pdf").c_str()), 0);
        user =
            Jwt::sign({{"role", "authenticated"}, {"sub", "00000000-0000-4000-8000-000000000001"}},
                      test->secret());
    }

    HttpResult sign(const std::string& key, const std::string& body,
                    const std::optional<std::string>& bearer) {
        return test->call("POST", "/storage/v1/object/sign/" + key, bearer, body);
    }

    std::unique_ptr<ServerTest> test;
    std::string outside;
    std::string user;
};

TEST_F(Storage, SignedLinksServeTheFile) {
    const auto signedUrl = sign("documents/loads/bill%201.pdf", R"({"expiresIn":60})", user);
    ASSERT_EQ(signedUrl.status, 200) << signedUrl.body;
    const std::string link = signedUrl.json()["signedURL"];
    const std::string prefix = "/object/sign/documents/loads/bill 1.pdf?token=";
    ASSERT_EQ(link.rfind(prefix, 0), 0u) << link;
    const std::string token = link.substr(prefix.size());
    const auto claims = Jwt::verify(token, test->secret());
    ASSERT_TRUE(claims);
    EXPECT_EQ((*claims)["url"], "documents/loads/bill 1.pdf");
    EXPECT_EQ((*claims)["exp"].get<std::int64_t>() - (*claims)["iat"].get<std::int64_t>(), 60);

    // Browsers open the link without any key.
    const auto file = httpRequest(
        "GET",
        test->server->url() + "/storage/v1/object/sign/documents/loads/bill%201.pdf?token=" + token,
        {});
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.header("content-type"), "application/pdf");
    EXPECT_EQ(file.body, pdfBytes);
}

TEST_F(Storage, SigningNeedsAUserAnExistingFileAndALifetime) {
    EXPECT_EQ(sign("documents/loads/bill%201.pdf", R"({"expiresIn":60})", std::nullopt).status,
              403);
    EXPECT_EQ(
        sign("documents/loads/bill%201.pdf", R"({"expiresIn":60})", test->serviceKey()).status,
        200);
    EXPECT_EQ(sign("documents/loads/bill%201.pdf", R"({"expiresIn":60})", "bad.token.here").status,
              400);
    struct Case {
        std::string key;
        std::string body;
        int status;
    };
    const Case cases[] = {
        {"documents/loads/none.pdf", R"({"expiresIn":60})", 404},
        {"documents/loads/link.pdf", R"({"expiresIn":60})", 404},
        {"documents/loads/bill%201.pdf", R"({"expiresIn":0})", 400},
        {"documents/loads/bill%201.pdf", R"({"expiresIn":"60"})", 400},
        {"documents/loads/bill%201.pdf", R"({"expiresIn":1e300})", 400},
        {"documents/loads/bill%201.pdf", "{", 400},
        {"documents", R"({"expiresIn":60})", 400},
        {"documents/loads/%FF.pdf", R"({"expiresIn":60})", 400},
    };
    for (const auto& c : cases) {
        const auto result = sign(c.key, c.body, user);
        EXPECT_EQ(result.status, c.status) << c.key << " " << c.body << ": " << result.body;
        EXPECT_TRUE(result.json()["message"].is_string()) << result.body;
    }
}

TEST_F(Storage, DownloadsNeedAValidTokenForThatPath) {
    const auto now = static_cast<std::int64_t>(time(nullptr));
    const std::string path = "/storage/v1/object/sign/documents/loads/bill%201.pdf";
    const auto tokenFor = [&](const std::string& url, std::int64_t exp) {
        return Jwt::sign({{"url", url}, {"iat", now}, {"exp", exp}}, test->secret());
    };
    struct Case {
        const char* name;
        std::string query;
        int status;
    };
    const Case cases[] = {
        {"no token", "", 400},
        {"garbage", "?token=abc", 400},
        {"other secret",
         "?token=" + Jwt::sign({{"url", "documents/loads/bill 1.pdf"}, {"exp", now + 60}}, "x"),
         400},
        {"expired", "?token=" + tokenFor("documents/loads/bill 1.pdf", now - 1), 400},
        {"other path", "?token=" + tokenFor("documents/loads/other.pdf", now + 60), 400},
        {"valid", "?token=" + tokenFor("documents/loads/bill 1.pdf", now + 60), 200},
    };
    for (const auto& c : cases) {
        const auto result = httpRequest("GET", test->server->url() + path + c.query, {});
        EXPECT_EQ(result.status, c.status) << c.name << ": " << result.body;
    }
}

TEST_F(Storage, PathsCannotLeaveTheStorageFolder) {
    const auto now = static_cast<std::int64_t>(time(nullptr));
    for (const std::string key :
         {"documents/../outside.txt", "documents/loads/../../../outside.txt", "documents//x",
          "documents/./loads/bill 1.pdf", "/etc/passwd", "documents\\..\\x"}) {
        const std::string token = Jwt::sign({{"url", key}, {"exp", now + 60}}, test->secret());
        gchar* escaped = g_uri_escape_string(key.c_str(), "/.\\", FALSE);
        const std::string request = "GET /storage/v1/object/sign/" + std::string(escaped) +
                                    "?token=" + token +
                                    " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        g_free(escaped);
        const std::string answer = rawExchange(test->server->port(), request);
        EXPECT_EQ(answer.find("secret"), std::string::npos) << key;
        EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos) << key << ": " << answer;
        EXPECT_NE(answer.find("HTTP/1.1 4"), std::string::npos) << key << ": " << answer;
    }
    const std::string link =
        Jwt::sign({{"url", "documents/loads/link.pdf"}, {"exp", now + 60}}, test->secret());
    const auto followed = httpRequest(
        "GET",
        test->server->url() + "/storage/v1/object/sign/documents/loads/link.pdf?token=" + link, {});
    EXPECT_EQ(followed.status, 404);
}

} // namespace
} // namespace ostral::devstack::testing
