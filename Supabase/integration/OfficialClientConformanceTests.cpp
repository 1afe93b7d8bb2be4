// The official JavaScript client (supabase-js from npm, under Node) and ours run the same steps
// against the local backend and must get the same answers: this is what shows that the local
// backend speaks the real service's protocols, and that our client reads them as the official
// one does.
#include <Supabase/Client.h>
#include <Supabase/SessionStore.h>
#include <Support/GObjectPtr.h>
#include <Support/MainContext.h>
#include <Support/Task.h>

#include <DevstackEnv.h>
#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace ostral::supabase {
namespace {

using Json = nlohmann::json;

// The peer script: one JSON line per step on its standard output.
class JsPeer {
public:
    JsPeer(const devstack::DevstackEnv& env, const Json& steps) {
        const std::string script =
            std::string(OSTRAL_SOURCE_DIR) + "/devstack/conformance/peer.mjs";
        support::GObjectPtr<GSubprocessLauncher> launcher(
            g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE), support::kAdopt);
        g_subprocess_launcher_setenv(launcher.get(), "OSTRAL_DEVSTACK_URL",
                                     env.get("OSTRAL_DEVSTACK_URL").c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher.get(), "OSTRAL_DEVSTACK_ANON_KEY",
                                     env.get("OSTRAL_DEVSTACK_ANON_KEY").c_str(), TRUE);
        const std::string stepsText = steps.dump();
        GError* error = nullptr;
        process_.reset(g_subprocess_launcher_spawn(launcher.get(), &error, "node", script.c_str(),
                                                   stepsText.c_str(), nullptr),
                       support::kAdopt);
        if (!process_) {
            ADD_FAILURE() << "node did not start: " << error->message;
            g_error_free(error);
            return;
        }
        out_.reset(g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_.get())),
                   support::kAdopt);
    }
    ~JsPeer() {
        if (process_) {
            g_subprocess_force_exit(process_.get());
            g_subprocess_wait(process_.get(), nullptr, nullptr);
        }
    }
    JsPeer(const JsPeer&) = delete;
    JsPeer& operator=(const JsPeer&) = delete;

    // The next step's line (blocking); nullopt when the peer ended.
    std::optional<Json> next() {
        if (!out_) {
            return std::nullopt;
        }
        gsize length = 0;
        support::GCharPtr text(
            g_data_input_stream_read_line_utf8(out_.get(), &length, nullptr, nullptr));
        if (!text) {
            return std::nullopt;
        }
        Json line = Json::parse(text.get(), nullptr, false);
        return line.is_discarded() ? Json{{"error", {{"message", text.get()}}}} : line;
    }

private:
    support::GObjectPtr<GSubprocess> process_;
    support::GObjectPtr<GDataInputStream> out_;
};

// Runs a task on the main loop until it is done.
template <typename T>
T run(support::Task<T> task) {
    std::optional<T> result;
    auto body = [](support::Task<T> inner, std::optional<T>* out) -> support::Task<void> {
        *out = co_await std::move(inner);
    };
    support::spawn(body(std::move(task), &result));
    support::iterateUntil([&] { return result.has_value(); }, std::chrono::seconds(20));
    if (!result) {
        ADD_FAILURE() << "the task did not finish";
        std::abort();
    }
    return std::move(*result);
}

Json outcome(const Result<Json>& result) {
    if (result) {
        return {{"result", *result}};
    }
    return {{"error", {{"code", result.error().code}, {"status", result.error().status}}}};
}

// The peer's line in the same form: result, or the error's code and HTTP status.
Json outcome(const Json& line) {
    if (line.contains("error")) {
        const Json& error = line["error"];
        return {
            {"error",
             {{"code", error.value("code", Json()).is_string() ? error["code"] : Json("")},
              {"status", error.value("status", Json()).is_number() ? error["status"] : Json(0)}}}};
    }
    return {{"result", line.value("result", Json())}};
}

std::string subjectOf(const std::string& jwt) {
    const auto first = jwt.find('.');
    const auto second = jwt.find('.', first + 1);
    std::string payload = jwt.substr(first + 1, second - first - 1);
    std::replace(payload.begin(), payload.end(), '-', '+');
    std::replace(payload.begin(), payload.end(), '_', '/');
    while (payload.size() % 4 != 0) {
        payload += '=';
    }
    gsize length = 0;
    support::UniqueCPtr<guchar, support::GFree> bytes(g_base64_decode(payload.c_str(), &length));
    const Json claims = Json::parse(std::string(reinterpret_cast<const char*>(bytes.get()), length),
                                    nullptr, false);
    return claims.is_object() ? claims.value("sub", "") : "";
}

class OfficialClientConformance : public ::testing::Test {
protected:
    void SetUp() override {
        auto env = devstack::DevstackEnv::load();
        ASSERT_TRUE(env) << "OSTRAL_DEVSTACK_ENV does not name a running local backend";
        env_ = *env;
        db_ = PQconnectdb(env_.get("OSTRAL_DEVSTACK_PG").c_str());
        ASSERT_EQ(PQstatus(db_), CONNECTION_OK) << PQerrorMessage(db_);
        ClientOptions options;
        options.auth.sessionStore = std::make_shared<MemorySessionStore>();
        client_ = Client::create(env_.get("OSTRAL_DEVSTACK_URL"),
                                 env_.get("OSTRAL_DEVSTACK_ANON_KEY"), options);
    }
    void TearDown() override {
        if (db_ != nullptr) {
            PQfinish(db_);
        }
    }

    // Inserts a live call with the given caller number; returns its id.
    std::string insertCall(const std::string& callerNumber) {
        const char* values[] = {callerNumber.c_str()};
        PGresult* result =
            PQexecParams(db_,
                         "INSERT INTO public.live_calls (line, caller_number, candidate_name) "
                         "VALUES ('recruiting', $1, 'Avery Quinn') RETURNING id",
                         1, nullptr, values, nullptr, nullptr, 0);
        EXPECT_EQ(PQresultStatus(result), PGRES_TUPLES_OK) << PQerrorMessage(db_);
        std::string id = PQresultStatus(result) == PGRES_TUPLES_OK ? PQgetvalue(result, 0, 0) : "";
        PQclear(result);
        return id;
    }

    devstack::DevstackEnv env_;
    PGconn* db_ = nullptr;
    std::shared_ptr<Client> client_;
};

TEST_F(OfficialClientConformance, SignInTablesFunctionsAndRealtimeAgree) {
    const std::string email = "dispatch.lead@ostral.test";
    const std::string password = "ostral-demo";
    const std::string callerNumber = "+1555" + std::to_string(g_random_int_range(1000000, 9999999));
    const std::string callId = insertCall(callerNumber);
    ASSERT_FALSE(callId.empty());
    const std::string filter = "caller_number=eq." + callerNumber;

    JsPeer peer(
        env_,
        Json::array({
            {{"op", "signIn"}, {"email", email}, {"password", "wrong password"}},
            {{"op", "signIn"}, {"email", email}, {"password", password}},
            {{"op", "select"}, {"table", "shell_config"}, {"columns", "*"}},
            {{"op", "select"},
             {"table", "live_calls"},
             {"columns", "id,line,caller_number,candidate_name,ended_at"},
             {"eq", {{"id", callId}}},
             {"single", true}},
            {{"op", "select"},
             {"table", "live_calls"},
             {"columns", "id"},
             {"eq", {{"caller_number", "+10000000000"}}},
             {"single", true}},
            {{"op", "select"}, {"table", "no_such_table"}, {"columns", "*"}},
            {{"op", "rpc"}, {"fn", "call_context"}, {"params", {{"p_call_id", callId}}}},
            {{"op", "rpc"}, {"fn", "live_calls_ringing"}},
            {{"op", "subscribe"}, {"table", "live_calls"}, {"event", "*"}, {"filter", filter}},
            {{"op", "changes"}, {"count", 2}, {"timeoutMs", 10000}},
        }));

    // Sign-in: a wrong password is refused alike; the right one gives the same user and token.
    auto refused = run(client_->auth().signIn(email, "wrong password"));
    ASSERT_FALSE(refused);
    auto theirRefusal = peer.next();
    ASSERT_TRUE(theirRefusal);
    ASSERT_TRUE(theirRefusal->contains("error")) << theirRefusal->dump();
    EXPECT_EQ(refused.error().code, (*theirRefusal)["error"].value("code", ""));
    EXPECT_EQ(refused.error().status, (*theirRefusal)["error"].value("status", 0u));

    auto session = run(client_->auth().signIn(email, password));
    ASSERT_TRUE(session) << session.error().description();
    auto theirSession = peer.next();
    ASSERT_TRUE(theirSession);
    ASSERT_TRUE(theirSession->contains("result")) << theirSession->dump();
    const Json& theirs = (*theirSession)["result"];
    EXPECT_EQ(session->user.id, theirs.value("user_id", ""));
    EXPECT_EQ(session->user.email, theirs.value("email", ""));
    EXPECT_EQ(session->tokenType, theirs.value("token_type", ""));
    EXPECT_EQ(session->expiresIn, theirs.value("expires_in", 0));
    EXPECT_EQ(subjectOf(session->accessToken), theirs.value("sub", ""));

    // Tables and functions: the same rows, values and errors.
    struct Query {
        const char* what;
        support::Task<Result<Json>> ours;
    };
    std::vector<Query> queries;
    queries.push_back({"select shell_config", client_->from("shell_config").select("*").execute()});
    queries.push_back(
        {"single live call", client_->from("live_calls")
                                 .select("id,line,caller_number,candidate_name,ended_at")
                                 .eq("id", callId)
                                 .single()
                                 .execute()});
    queries.push_back({"single of no rows", client_->from("live_calls")
                                                .select("id")
                                                .eq("caller_number", "+10000000000")
                                                .single()
                                                .execute()});
    queries.push_back({"unknown table", client_->from("no_such_table").select("*").execute()});
    queries.push_back({"call_context", client_->rpc("call_context", Json{{"p_call_id", callId}})});
    queries.push_back({"live_calls_ringing", client_->rpc("live_calls_ringing")});
    for (Query& query : queries) {
        Json ours = outcome(run(std::move(query.ours)));
        auto line = peer.next();
        ASSERT_TRUE(line) << query.what;
        Json theirsNow = outcome(*line);
        if (std::string(query.what) == "live_calls_ringing") {
            // Other tests ring calls at the same time and ages move: compare our call only,
            // without its age.
            auto ourCall = [&](const Json& rows) {
                if (!rows.contains("result") || !rows["result"].is_array()) {
                    return rows;
                }
                for (Json row : rows["result"]) {
                    if (row.is_object() && row.value("id", "") == callId) {
                        row.erase("age_seconds");
                        return row;
                    }
                }
                return Json("missing");
            };
            ours = ourCall(ours);
            theirsNow = ourCall(theirsNow);
            EXPECT_NE(ours, Json("missing"));
        }
        EXPECT_EQ(ours, theirsNow) << query.what;
        if (ours.contains("error")) {
            EXPECT_FALSE(ours["error"]["code"].get<std::string>().empty()) << query.what;
        }
    }

    // Realtime: both subscribe on the same filter, then see the same update and insert.
    auto channel = client_->channel("conformance");
    auto changes = channel->postgresChange(PostgresAction::all, "public", "live_calls", filter);
    auto joined = run(channel->subscribeWithError());
    ASSERT_TRUE(joined) << joined.error().description();
    auto theirSubscribe = peer.next();
    ASSERT_TRUE(theirSubscribe);
    ASSERT_EQ(theirSubscribe->value("result", ""), "SUBSCRIBED") << theirSubscribe->dump();

    PQclear(PQexec(
        db_,
        ("UPDATE public.live_calls SET ended_at = now() WHERE id = '" + callId + "'").c_str()));
    const std::string secondId = insertCall(callerNumber);

    std::vector<Json> ourChanges;
    auto collect = [](support::AsyncStream<PostgresChange> stream,
                      std::vector<Json>* out) -> support::Task<void> {
        while (auto change = co_await stream.next()) {
            out->push_back({{"type", change->type}, {"record", change->record}});
        }
    };
    auto collector = support::spawn(collect(changes, &ourChanges));
    support::iterateUntil([&] { return ourChanges.size() >= 2; }, std::chrono::seconds(10));
    auto theirChanges = peer.next();
    ASSERT_TRUE(theirChanges);
    ASSERT_EQ(ourChanges.size(), 2u);
    EXPECT_EQ(Json(ourChanges), theirChanges->value("result", Json())) << theirChanges->dump();
    EXPECT_EQ(ourChanges[0]["type"], "UPDATE");
    EXPECT_EQ(ourChanges[1]["record"].value("id", ""), secondId);

    collector.cancel();
    run([](std::shared_ptr<Client> client,
           std::shared_ptr<RealtimeChannel> ch) -> support::Task<bool> {
        co_await client->removeChannel(std::move(ch));
        co_return true;
    }(client_, channel));
}

} // namespace
} // namespace ostral::supabase
