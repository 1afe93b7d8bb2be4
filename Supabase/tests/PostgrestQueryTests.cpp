#include <Supabase/PostgrestQuery.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace ostral::supabase {
namespace {

std::optional<std::string> header(const HttpRequest& request, const std::string& name) {
    for (const auto& [key, value] : request.headers) {
        if (key == name) {
            return value;
        }
    }
    return std::nullopt;
}

class PostgrestQueryTest : public ::testing::Test {
protected:
    PostgrestQuery from(std::string table) const {
        return PostgrestQuery(context_, std::move(table));
    }

    std::shared_ptr<const detail::RestContext> context_ = std::make_shared<detail::RestContext>(
        detail::RestContext{"http://127.0.0.1:54321/rest/v1", "anon", nullptr, {}});
};

TEST_F(PostgrestQueryTest, BuildsEachKindOfRequest) {
    struct Case {
        const char* name;
        HttpRequest request;
        std::string method;
        std::string url;
        std::optional<std::string> prefer;
        std::string accept;
        std::optional<std::string> body;
    };
    const std::string base = "http://127.0.0.1:54321/rest/v1";
    const Case cases[] = {
        {"select with filters",
         from("staff_shell_prefs")
             .select("line_modes, ring_volume")
             .eq("user_id", "ab-12")
             .request(),
         "GET", base + "/staff_shell_prefs?select=line_modes,ring_volume&user_id=eq.ab-12",
         std::nullopt, "application/json", std::nullopt},
        {"single object",
         from("profiles").select("portal_role").eq("id", "AB-12").single().request(), "GET",
         base + "/profiles?select=portal_role&id=eq.AB-12", std::nullopt,
         "application/vnd.pgrst.object+json", std::nullopt},
        {"whole table", from("shell_config").request(), "GET", base + "/shell_config", std::nullopt,
         "application/json", std::nullopt},
        {"insert", from("live_call_acks").insert({{"call_id", "c"}, {"user_id", "u"}}).request(),
         "POST", base + "/live_call_acks", "return=minimal", "application/json",
         R"({"call_id":"c","user_id":"u"})"},
        {"upsert",
         from("staff_presence")
             .upsert({{"user_id", "u"}, {"client", "linux"}}, "user_id, client")
             .request(),
         "POST", base + "/staff_presence?on_conflict=user_id,client", "resolution=merge-duplicates",
         "application/json", R"({"client":"linux","user_id":"u"})"},
        {"update returning",
         from("staff_shell_prefs")
             .update({{"ring_volume", 0.5}})
             .eq("user_id", "u")
             .select("user_id")
             .request(),
         "PATCH", base + "/staff_shell_prefs?select=user_id&user_id=eq.u", "return=representation",
         "application/json", R"({"ring_volume":0.5})"},
        {"update without returning", from("t").update({{"a", 1}}).eq("id", "7").request(), "PATCH",
         base + "/t?id=eq.7", "return=minimal", "application/json", R"({"a":1})"},
        {"rpc without parameters", rpcRequest(*context_, "live_calls_ringing", std::nullopt),
         "POST", base + "/rpc/live_calls_ringing", std::nullopt, "application/json", "{}"},
        {"rpc with parameters",
         rpcRequest(*context_, "call_context", nlohmann::json{{"p_call_id", "x"}}), "POST",
         base + "/rpc/call_context", std::nullopt, "application/json", R"({"p_call_id":"x"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.request.method, c.method);
        EXPECT_EQ(c.request.url, c.url);
        EXPECT_EQ(header(c.request, "Prefer"), c.prefer);
        EXPECT_EQ(header(c.request, "Accept"), c.accept);
        EXPECT_EQ(header(c.request, "apikey"), "anon");
        EXPECT_EQ(header(c.request, "X-Client-Info"), "ostral-admin-supabase/0.1");
        EXPECT_EQ(header(c.request, "Content-Type").has_value(), c.body.has_value());
        EXPECT_EQ(c.request.body, c.body);
    }
}

TEST_F(PostgrestQueryTest, EncodesValuesThatWouldChangeTheQuery) {
    struct Case {
        std::string value;
        std::string encoded;
    };
    const Case cases[] = {
        {"plain-value_1.2~", "plain-value_1.2~"},
        {"a&b=c", "a%26b%3Dc"},
        {"1+1 2", "1%2B1%202"},
        {"x,y(z)", "x%2Cy%28z%29"},
        {"100%", "100%25"},
        {"é", "%C3%A9"},
        {"a#b?c/d", "a%23b%3Fc%2Fd"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(from("t").eq("name", c.value).request().url,
                  "http://127.0.0.1:54321/rest/v1/t?name=eq." + c.encoded);
    }
    EXPECT_EQ(from("odd table").eq("a&b", "1").request().url,
              "http://127.0.0.1:54321/rest/v1/odd%20table?a%26b=eq.1");
    EXPECT_EQ(from("t").select(R"(a, "b c")").request().url,
              R"(http://127.0.0.1:54321/rest/v1/t?select=a,"b%20c")");
}

} // namespace
} // namespace ostral::supabase
