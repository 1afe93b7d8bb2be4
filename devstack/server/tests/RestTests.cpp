#include "Jwt.h"
#include "ServerFixture.h"

#include <gtest/gtest.h>

namespace ostral::devstack::testing {
namespace {

// A table and functions of this test process only, readable by every role, with a second table
// that only service_role may touch.
class Rest : public ::testing::Test {
protected:
    void SetUp() override {
        test = ServerTest::create();
        ASSERT_TRUE(test);
        table = "rest_items_" + test->suffix;
        closed = "rest_closed_" + test->suffix;
        fn = "rest_fn_" + test->suffix;
        test->atEnd("DROP TABLE IF EXISTS public." + table);
        test->atEnd("DROP TABLE IF EXISTS public." + closed);
        test->atEnd("DROP FUNCTION IF EXISTS public." + fn + "_add(int, int)");
        test->atEnd("DROP FUNCTION IF EXISTS public." + fn + "_rows(int)");
        test->atEnd("DROP FUNCTION IF EXISTS public." + fn + "_doc()");
        test->atEnd("DROP FUNCTION IF EXISTS public." + fn + "_void()");
        test->atEnd("DROP FUNCTION IF EXISTS public." + fn + "_write()");
        test->sql("CREATE TABLE public." + table +
                  " (id int PRIMARY KEY, name text UNIQUE, tag text, score int, "
                  "at timestamptz DEFAULT '2024-05-01T13:45:10.12+00', "
                  "\"odd\"\"col\" text)");
        test->sql("INSERT INTO public." + table +
                  " (id, name, tag, score) VALUES (1, 'one', 'a', 10), (2, 'two', 'a', 20), "
                  "(3, 'three', NULL, 30)");
        test->sql("GRANT ALL ON public." + table + " TO anon, authenticated, service_role");
        test->sql("CREATE TABLE public." + closed + " (id int PRIMARY KEY)");
        test->sql("GRANT ALL ON public." + closed + " TO service_role");
        test->sql("CREATE FUNCTION public." + fn +
                  "_add(a int, b int DEFAULT 1) RETURNS int LANGUAGE sql AS 'SELECT a + b'");
        test->sql("CREATE FUNCTION public." + fn + "_rows(min_score int) RETURNS SETOF public." +
                  table + " LANGUAGE sql AS 'SELECT * FROM public." + table +
                  " WHERE score >= min_score ORDER BY id'");
        test->sql("CREATE FUNCTION public." + fn +
                  "_doc() RETURNS jsonb LANGUAGE sql AS $$SELECT '{\"k\": [1, \"x\"]}'::jsonb$$");
        test->sql("CREATE FUNCTION public." + fn + "_void() RETURNS void LANGUAGE sql AS ''");
        test->sql("CREATE FUNCTION public." + fn +
                  "_write() RETURNS int LANGUAGE sql AS "
                  "'INSERT INTO public." +
                  table + " (id) VALUES (99) RETURNING id'");
    }

    HttpResult get(const std::string& query, const Headers& extra = {}) {
        return test->call("GET", "/rest/v1/" + table + query, std::nullopt, "", extra);
    }
    HttpResult send(const std::string& method, const std::string& query, const std::string& body,
                    const Headers& extra = {}) {
        return test->call(method, "/rest/v1/" + table + query, std::nullopt, body, extra);
    }
    std::vector<int> ids(const HttpResult& result) {
        std::vector<int> out;
        for (const auto& row : result.json()) {
            out.push_back(row["id"].get<int>());
        }
        return out;
    }

    std::unique_ptr<ServerTest> test;
    std::string table;
    std::string closed;
    std::string fn;
};

const Headers single = {{"Accept", "application/vnd.pgrst.object+json"}};
const Headers representation = {{"Prefer", "return=representation"}};

TEST_F(Rest, ApiKeyIsRequired) {
    const std::string path = test->server->url() + "/rest/v1/" + table;
    const auto none = httpRequest("GET", path, {});
    EXPECT_EQ(none.status, 401);
    EXPECT_EQ(none.json(), (nlohmann::json{{"message", "No API key found in request"}}));
    const auto wrong = httpRequest("GET", path, {{"apikey", Jwt::sign({{"role", "anon"}}, "x")}});
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(wrong.json(), (nlohmann::json{{"message", "Invalid API key"}}));
    EXPECT_EQ(httpRequest("GET", path + "?apikey=" + test->anonKey(), {}).status, 200);
    EXPECT_EQ(httpRequest("GET", path, {{"apikey", test->serviceKey()}}).status, 200);
}

TEST_F(Rest, BearerTokensAreChecked) {
    const auto garbage = test->call("GET", "/rest/v1/" + table, std::string("a.b.c"));
    EXPECT_EQ(garbage.status, 401);
    EXPECT_EQ(garbage.json()["code"], "PGRST301");
    EXPECT_NE(garbage.header("www-authenticate").find("invalid_token"), std::string::npos);

    const auto expired =
        test->call("GET", "/rest/v1/" + table,
                   Jwt::sign({{"role", "authenticated"}, {"exp", 1000}}, test->secret()));
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.json(), (nlohmann::json{{"code", "PGRST303"},
                                              {"details", nullptr},
                                              {"hint", nullptr},
                                              {"message", "JWT expired"}}));
}

TEST_F(Rest, SelectsWithFiltersOrderAndLimit) {
    struct Case {
        std::string query;
        std::vector<int> ids;
    };
    const Case cases[] = {
        {"?order=id", {1, 2, 3}},
        {"?id=eq.2", {2}},
        {"?id=neq.2&order=id", {1, 3}},
        {"?score=gt.10&score=lte.30&order=id", {2, 3}},
        {"?id=in.(1,3)&order=id.desc", {3, 1}},
        {"?name=in.(\"one\",\"th,ree\")", {1}},
        {"?tag=is.null", {3}},
        {"?tag=not.is.null&order=id", {1, 2}},
        {"?name=like.t*&order=id", {2, 3}},
        {"?id=not.in.(1,2)", {3}},
        {"?order=score.desc&limit=2", {3, 2}},
        {"?order=id&limit=1&offset=1", {2}},
        {"?id=in.()", {}},
        {"?name=eq.'; DROP TABLE x; --", {}},
    };
    for (const auto& c : cases) {
        const auto result = get(c.query);
        ASSERT_EQ(result.status, 200) << c.query << ": " << result.body;
        EXPECT_EQ(ids(result), c.ids) << c.query;
    }

    const auto columns = get("?select=id,label:name,score::text&id=eq.1");
    EXPECT_EQ(columns.json(),
              (nlohmann::json::array({{{"id", 1}, {"label", "one"}, {"score", "10"}}})));
    EXPECT_EQ(get("?id=eq.1&select=\"odd\"\"col\"").json(),
              (nlohmann::json::array({{{"odd\"col", nullptr}}})));
    // Timestamps in PostgreSQL's JSON form, as PostgREST sends them.
    EXPECT_EQ(get("?select=at&id=eq.1").json()[0]["at"], "2024-05-01T13:45:10.12+00:00");

    const auto ranged = get("?order=id&limit=2");
    EXPECT_EQ(ranged.header("content-range"), "0-1/*");
    EXPECT_EQ(get("?id=eq.77").header("content-range"), "*/*");
    EXPECT_EQ(get("?order=id", {{"Prefer", "count=exact"}}).header("content-range"), "0-2/3");
}

TEST_F(Rest, SingleObjectNeedsExactlyOneRow) {
    const auto one = get("?id=eq.1&select=id,name", single);
    EXPECT_EQ(one.status, 200);
    EXPECT_EQ(one.json(), (nlohmann::json{{"id", 1}, {"name", "one"}}));
    EXPECT_NE(one.header("content-type").find("application/vnd.pgrst.object+json"),
              std::string::npos);
    for (const auto& [query, count] :
         std::vector<std::pair<std::string, int>>{{"?id=eq.9", 0}, {"?tag=eq.a", 2}}) {
        const auto result = get(query, single);
        EXPECT_EQ(result.status, 406);
        EXPECT_EQ(
            result.json(),
            (nlohmann::json{{"code", "PGRST116"},
                            {"details", "The result contains " + std::to_string(count) + " rows"},
                            {"hint", nullptr},
                            {"message", "Cannot coerce the result to a single JSON object"}}));
    }
}

TEST_F(Rest, InsertsAnswerMinimalOrRepresentation) {
    const auto minimal = send("POST", "", R"({"id":10,"name":"ten"})");
    EXPECT_EQ(minimal.status, 201);
    EXPECT_TRUE(minimal.body.empty());
    EXPECT_EQ(ids(get("?id=eq.10")), std::vector<int>{10});

    const auto rows = send("POST", "?select=id,name",
                           R"([{"id":11,"name":"a"},{"id":12,"name":"b"}])", representation);
    EXPECT_EQ(rows.status, 201);
    EXPECT_EQ(rows.json(),
              (nlohmann::json::array({{{"id", 11}, {"name", "a"}}, {{"id", 12}, {"name", "b"}}})));

    const auto duplicate = send("POST", "", R"({"id":1,"name":"again"})");
    EXPECT_EQ(duplicate.status, 409);
    EXPECT_EQ(duplicate.json()["code"], "23505");
    EXPECT_TRUE(duplicate.json()["details"].is_string());

    const auto mismatched = send("POST", "", R"([{"id":13},{"id":14,"name":"x"}])");
    EXPECT_EQ(mismatched.status, 400);
    EXPECT_EQ(mismatched.json()["code"], "PGRST102");
    EXPECT_TRUE(get("?id=eq.13").json().empty()) << "nothing of a refused batch is written";
}

TEST_F(Rest, UpsertsMergeOrIgnoreOnConflictColumns) {
    const Headers merge = {{"Prefer", "return=representation,resolution=merge-duplicates"}};
    const auto merged = send("POST", "?on_conflict=name&select=id,name,tag",
                             R"({"id":1,"name":"one","tag":"merged"})", merge);
    EXPECT_EQ(merged.status, 200) << merged.body;
    EXPECT_EQ(merged.json(),
              (nlohmann::json::array({{{"id", 1}, {"name", "one"}, {"tag", "merged"}}})));

    const auto inserted = send("POST", "?select=id", R"({"id":20,"name":"twenty"})", merge);
    EXPECT_EQ(inserted.status, 201);

    const auto ignored = send("POST", "", R"({"id":2,"name":"changed"})",
                              {{"Prefer", "resolution=ignore-duplicates"}});
    EXPECT_EQ(ignored.status, 201);
    EXPECT_EQ(get("?id=eq.2&select=name").json()[0]["name"], "two");

    const auto minimalMerge = send("POST", "?on_conflict=id", R"({"id":3,"tag":"m"})",
                                   {{"Prefer", "resolution=merge-duplicates"}});
    EXPECT_EQ(minimalMerge.status, 201);
    EXPECT_TRUE(minimalMerge.body.empty());
    EXPECT_EQ(get("?id=eq.3&select=tag,name").json()[0],
              (nlohmann::json{{"tag", "m"}, {"name", "three"}}));

    const auto unknownKey = send("POST", "?on_conflict=nope", R"({"id":5})",
                                 {{"Prefer", "resolution=merge-duplicates"}});
    EXPECT_EQ(unknownKey.status, 400);
}

TEST_F(Rest, UpdatesAndDeletesReturnWhatTheyChanged) {
    const auto quiet = send("PATCH", "?id=eq.1", R"({"tag":"q"})");
    EXPECT_EQ(quiet.status, 204);
    EXPECT_TRUE(quiet.body.empty());

    const auto changed = send("PATCH", "?tag=eq.a&select=id", R"({"score":0})", representation);
    EXPECT_EQ(changed.status, 200);
    EXPECT_EQ(changed.json(), (nlohmann::json::array({{{"id", 2}}})));
    const auto none = send("PATCH", "?id=eq.99&select=id", R"({"score":0})", representation);
    EXPECT_EQ(none.status, 200);
    EXPECT_EQ(none.json(), nlohmann::json::array());

    // A single object asked of a mutation that touches two rows is refused and undone.
    const auto two = send(
        "PATCH", "?id=in.(1,2)", R"({"tag":"both"})",
        {{"Prefer", "return=representation"}, {"Accept", "application/vnd.pgrst.object+json"}});
    EXPECT_EQ(two.status, 406);
    EXPECT_TRUE(get("?tag=eq.both").json().empty());

    const auto deleted = send("DELETE", "?id=eq.3&select=name", "", representation);
    EXPECT_EQ(deleted.status, 200);
    EXPECT_EQ(deleted.json(), (nlohmann::json::array({{{"name", "three"}}})));
    EXPECT_EQ(send("DELETE", "?id=eq.2", "").status, 204);
    EXPECT_EQ(ids(get("?order=id")), std::vector<int>{1});
}

TEST_F(Rest, FunctionsAreCalledWithNamedArguments) {
    const auto rpc = [&](const std::string& method, const std::string& rest,
                         const std::string& body) {
        return test->call(method, "/rest/v1/rpc/" + fn + rest, std::nullopt, body);
    };
    EXPECT_EQ(rpc("POST", "_add", R"({"a":41})").body, "42");
    EXPECT_EQ(rpc("POST", "_add", R"({"a":1,"b":2})").body, "3");
    EXPECT_EQ(rpc("GET", "_add?a=5&b=5", "").body, "10");
    const auto rows = rpc("POST", "_rows", R"({"min_score":20})");
    EXPECT_EQ(rows.status, 200);
    EXPECT_EQ(ids(rows), (std::vector<int>{2, 3}));
    EXPECT_EQ(rpc("POST", "_rows", R"({"min_score":99})").json(), nlohmann::json::array());
    EXPECT_EQ(rpc("POST", "_doc", "").json(), (nlohmann::json{{"k", {1, "x"}}}));
    const auto nothing = rpc("POST", "_void", "{}");
    EXPECT_EQ(nothing.status, 204);
    EXPECT_TRUE(nothing.body.empty());

    // GET runs read-only.
    EXPECT_EQ(rpc("GET", "_write", "").status, 405);
    EXPECT_EQ(rpc("POST", "_write", "").body, "99");

    const auto missing = rpc("POST", "_add", R"({"b":1})");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.json()["code"], "PGRST202");
    EXPECT_EQ(missing.json()["message"],
              "Could not find the function public." + fn + "_add(b) in the schema cache");
    EXPECT_EQ(
        test->call("POST", "/rest/v1/rpc/nope_" + test->suffix, std::nullopt, "{}").json()["code"],
        "PGRST202");
    EXPECT_EQ(rpc("POST", "_add", "[1]").json()["code"], "PGRST102");
    EXPECT_EQ(rpc("POST", "_add", R"({"a":"x"})").status, 400);
    // Extension functions installed in public are not part of the API.
    EXPECT_EQ(test->call("POST", "/rest/v1/rpc/crypt", std::nullopt, R"({"":"a"})").json()["code"],
              "PGRST202");
}

TEST_F(Rest, UnknownNamesAndMalformedRequestsAreRefused) {
    struct Case {
        std::string method;
        std::string path;
        std::string body;
        int status;
        std::string code;
    };
    const std::string base = "/rest/v1/" + table;
    const Case cases[] = {
        {"GET", "/rest/v1/nope_" + test->suffix, "", 404, "PGRST205"},
        {"GET", base + "?select=nope", "", 400, "42703"},
        {"GET", base + "?nope=eq.1", "", 400, "42703"},
        {"GET", base + "?order=nope", "", 400, "42703"},
        {"GET", base + "?select=id;drop", "", 400, "42703"},
        {"GET", base + "?\"id\"\"x=eq.1", "", 400, "42703"},
        {"GET", base + "?id=eqq.1", "", 400, "PGRST100"},
        {"GET", base + "?id=in.(1", "", 400, "PGRST100"},
        {"GET", base + "?select=id,,name", "", 400, "PGRST100"},
        {"GET", base + "?limit=-1", "", 400, "PGRST100"},
        {"GET", base + "?id=eq.abc", "", 400, "22P02"},
        {"POST", base, R"({"nope":1})", 400, "PGRST204"},
        {"POST", base, R"({"id":)", 400, "PGRST102"},
        {"POST", base, "", 400, "PGRST102"},
        {"POST", base, "42", 400, "PGRST102"},
        {"PATCH", base + "?id=eq.1", R"([{"id":1}])", 400, "PGRST102"},
        {"PATCH", base + "?id=eq.1", R"({"nope":1})", 400, "PGRST204"},
        {"PUT", base, "{}", 405, "PGRST117"},
        {"GET", "/rest/v1/" + table + "/extra", "", 404, "PGRST125"},
    };
    for (const auto& c : cases) {
        const auto result = test->call(c.method, c.path, std::nullopt, c.body);
        EXPECT_EQ(result.status, c.status) << c.method << " " << c.path << ": " << result.body;
        EXPECT_EQ(result.json()["code"], c.code)
            << c.method << " " << c.path << ": " << result.body;
    }
    EXPECT_EQ(ids(get("?order=id")), (std::vector<int>{1, 2, 3})) << "the table is intact";
}

TEST_F(Rest, PrivilegesFollowTheTokensRole) {
    const auto anon = test->call("GET", "/rest/v1/" + closed);
    EXPECT_EQ(anon.status, 401);
    EXPECT_EQ(anon.json()["code"], "42501");
    const std::string user =
        Jwt::sign({{"role", "authenticated"}, {"sub", "00000000-0000-4000-8000-000000000001"}},
                  test->secret());
    EXPECT_EQ(test->call("GET", "/rest/v1/" + closed, user).status, 403);
    EXPECT_EQ(test->call("GET", "/rest/v1/" + closed, test->serviceKey()).status, 200);
}

} // namespace
} // namespace ostral::devstack::testing
