// The Realtime endpoint over real WebSockets, against the local backend's database: an
// in-process server per test, with its own change feed, and libsoup's WebSocket client.
#include "Catalog.h"
#include "Db.h"
#include "DevstackEnv.h"
#include "Jwt.h"
#include "Realtime.h"
#include "RealtimeFrame.h"

#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <regex>

namespace ostral::devstack {
namespace {

using nlohmann::json;

// Runs the default main context until `done` holds or `timeoutMs` passes.
bool runUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const gint64 deadline = g_get_monotonic_time() + gint64{timeoutMs} * 1000;
    while (!done()) {
        if (g_get_monotonic_time() > deadline) {
            return false;
        }
        GSource* tick = g_timeout_source_new(10);
        g_source_set_callback(
            tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    }
    return true;
}

void runFor(int milliseconds) {
    runUntil([] { return false; }, milliseconds);
}

std::int64_t now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// One client socket, recording every frame it receives.
class TestSocket {
public:
    TestSocket(SoupWebsocketConnection* socket, RealtimeVsn vsn)
        : socket_(socket)
        , vsn_(vsn) {
        messageHandler_ = g_signal_connect(socket_, "message", G_CALLBACK(onMessage), this);
        closedHandler_ = g_signal_connect(socket_, "closed", G_CALLBACK(onClosed), this);
    }
    ~TestSocket() {
        g_signal_handler_disconnect(socket_, messageHandler_);
        g_signal_handler_disconnect(socket_, closedHandler_);
        if (soup_websocket_connection_get_state(socket_) == SOUP_WEBSOCKET_STATE_OPEN) {
            soup_websocket_connection_close(socket_, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
        }
        g_object_unref(socket_);
    }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    void send(const PhoenixMessage& message) { sendText(encodeClientFrame(message)); }
    void sendText(const std::string& text) {
        soup_websocket_connection_send_text(socket_, text.c_str());
    }
    void sendBinary(std::string_view bytes) {
        soup_websocket_connection_send_binary(socket_, bytes.data(), bytes.size());
    }
    void close() { soup_websocket_connection_close(socket_, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr); }

    // The next frame, waiting up to `timeoutMs` for it.
    std::optional<PhoenixMessage> next(int timeoutMs = 3000) {
        if (!runUntil([this] { return !frames_.empty(); }, timeoutMs)) {
            return std::nullopt;
        }
        auto frame = frames_.front();
        frames_.erase(frames_.begin());
        return frame;
    }
    // Frames that arrive within `milliseconds`.
    std::vector<PhoenixMessage> drain(int milliseconds) {
        runFor(milliseconds);
        return std::exchange(frames_, {});
    }
    bool waitClosed(int timeoutMs) {
        return runUntil([this] { return closed_; }, timeoutMs);
    }
    bool closed() const { return closed_; }
    RealtimeVsn vsn() const { return vsn_; }

    // Joins `topic` and returns the reply; the caller reads the confirmation.
    PhoenixMessage join(const std::string& topic, const json& changes,
                        std::optional<std::string> accessToken = {}) {
        json payload{{"config",
                      {{"broadcast", {{"ack", false}, {"self", false}}},
                       {"presence", {{"key", ""}, {"enabled", false}}},
                       {"postgres_changes", changes},
                       {"private", false}}}};
        if (accessToken) {
            payload["access_token"] = *accessToken;
        }
        const std::string ref = std::to_string(nextRef_++);
        send({ref, ref, topic, "phx_join", payload});
        auto reply = next();
        EXPECT_TRUE(reply);
        return reply.value_or(PhoenixMessage{});
    }
    std::string nextRef() { return std::to_string(nextRef_++); }

private:
    std::string encodeClientFrame(const PhoenixMessage& message) const {
        if (vsn_ == RealtimeVsn::v2) {
            return encodePhoenixFrame(message, vsn_);
        }
        // Clients send join_ref in 1.0.0 objects as well.
        auto object = json::parse(encodePhoenixFrame(message, vsn_));
        object["join_ref"] = message.joinRef ? json(*message.joinRef) : json(nullptr);
        return object.dump();
    }

    static void onMessage(SoupWebsocketConnection*, gint type, GBytes* bytes, gpointer self) {
        auto* socket = static_cast<TestSocket*>(self);
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        const std::string text(data, size);
        ASSERT_EQ(type, SOUP_WEBSOCKET_DATA_TEXT);
        // Server frames never carry join_ref in 1.0.0; the decoder must not find one.
        if (socket->vsn_ == RealtimeVsn::v1) {
            EXPECT_FALSE(json::parse(text).contains("join_ref")) << text;
        }
        auto frame = decodePhoenixFrame(text, socket->vsn_);
        ASSERT_TRUE(frame) << text;
        socket->frames_.push_back(std::move(frame).value());
    }
    static void onClosed(SoupWebsocketConnection*, gpointer self) {
        static_cast<TestSocket*>(self)->closed_ = true;
    }

    SoupWebsocketConnection* socket_;
    RealtimeVsn vsn_;
    gulong messageHandler_ = 0;
    gulong closedHandler_ = 0;
    std::vector<PhoenixMessage> frames_;
    bool closed_ = false;
    int nextRef_ = 1;
};

struct HttpAnswer {
    guint status = 0;
    std::string body;
};

class RealtimeEndpoint : public ::testing::Test {
protected:
    void SetUp() override { startServer({}); }

    void TearDown() override {
        realtime_.reset();
        if (soup_ != nullptr) {
            soup_server_disconnect(soup_);
            g_object_unref(soup_);
        }
        if (session_ != nullptr) {
            g_object_unref(session_);
        }
    }

    void startServer(RealtimeOptions options) {
        TearDown();
        soup_ = nullptr;
        session_ = nullptr;
        const auto env = DevstackEnv::load();
        ASSERT_TRUE(env) << "OSTRAL_DEVSTACK_ENV names no environment file";
        pg_ = env->get("OSTRAL_DEVSTACK_PG");
        secret_ = env->get("OSTRAL_DEVSTACK_JWT_SECRET");
        anonKey_ = env->get("OSTRAL_DEVSTACK_ANON_KEY");
        if (!db_) {
            auto db = Db::connect(pg_);
            ASSERT_TRUE(db) << db.error().message;
            db_ = std::move(db).value();
            auto data = Db::connect(pg_);
            ASSERT_TRUE(data) << data.error().message;
            data_ = std::move(data).value();
            auto catalog = Catalog::load(*db_);
            ASSERT_TRUE(catalog) << catalog.error().message;
            catalog_ = std::move(catalog).value();
        }
        soup_ = soup_server_new(nullptr, nullptr);
        auto realtime = RealtimeServer::start(soup_, *db_, catalog_, pg_, secret_, options);
        ASSERT_TRUE(realtime) << realtime.error();
        realtime_ = std::move(realtime).value();
        GError* error = nullptr;
        ASSERT_TRUE(soup_server_listen_local(soup_, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error));
        GSList* uris = soup_server_get_uris(soup_);
        port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
        session_ = soup_session_new();
    }

    std::string url(const std::string& query) const {
        return "ws://127.0.0.1:" + std::to_string(port_) + "/realtime/v1/websocket" + query;
    }

    std::unique_ptr<TestSocket> connect(RealtimeVsn vsn, bool sendVsn = true) {
        std::string query = "?apikey=" + anonKey_;
        if (sendVsn) {
            query += vsn == RealtimeVsn::v2 ? "&vsn=2.0.0" : "&vsn=1.0.0";
        }
        SoupMessage* message = soup_message_new("GET", url(query).c_str());
        SoupWebsocketConnection* socket = nullptr;
        bool done = false;
        struct Wait {
            SoupWebsocketConnection** socket;
            bool* done;
        } wait{&socket, &done};
        soup_session_websocket_connect_async(
            session_, message, nullptr, nullptr, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* w = static_cast<Wait*>(data);
                *w->socket =
                    soup_session_websocket_connect_finish(SOUP_SESSION(source), result, nullptr);
                *w->done = true;
            },
            &wait);
        runUntil([&] { return done; });
        g_object_unref(message);
        EXPECT_NE(socket, nullptr) << "the WebSocket handshake failed";
        if (socket == nullptr) {
            return nullptr;
        }
        return std::make_unique<TestSocket>(socket, vsn);
    }

    // A plain request to the endpoint carrying the upgrade headers, to read refusals.
    HttpAnswer handshake(const std::string& query,
                         std::optional<std::string> apiKeyHeader = std::nullopt) {
        std::string http = url(query);
        http.replace(0, 2, "http");
        SoupMessage* message = soup_message_new("GET", http.c_str());
        SoupMessageHeaders* headers = soup_message_get_request_headers(message);
        soup_message_headers_append(headers, "Sec-WebSocket-Version", "13");
        soup_message_headers_append(headers, "Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ==");
        if (apiKeyHeader) {
            soup_message_headers_append(headers, "x-api-key", apiKeyHeader->c_str());
        }
        HttpAnswer answer;
        bool done = false;
        struct Wait {
            HttpAnswer* answer;
            bool* done;
            SoupMessage* message;
        } wait{&answer, &done, message};
        soup_session_send_and_read_async(
            session_, message, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* w = static_cast<Wait*>(data);
                GBytes* body =
                    soup_session_send_and_read_finish(SOUP_SESSION(source), result, nullptr);
                w->answer->status = soup_message_get_status(w->message);
                if (body != nullptr) {
                    gsize size = 0;
                    const auto* bytes = static_cast<const char*>(g_bytes_get_data(body, &size));
                    w->answer->body.assign(bytes == nullptr ? "" : bytes, size);
                    g_bytes_unref(body);
                }
                *w->done = true;
            },
            &wait);
        runUntil([&] { return done; });
        g_object_unref(message);
        return answer;
    }

    json exec(const std::string& sql, const DbParams& params = {}) {
        auto rows = data_->exec(sql, params);
        EXPECT_TRUE(rows) << sql << ": " << (rows ? "" : rows.error().message);
        json out = json::array();
        if (rows) {
            for (const auto& row : rows->rows) {
                json object = json::object();
                for (std::size_t i = 0; i < row.size(); ++i) {
                    object[rows->columns[i]] = row[i] ? json(*row[i]) : json(nullptr);
                }
                out.push_back(std::move(object));
            }
        }
        return out;
    }

    std::string uuid() { return exec("SELECT gen_random_uuid()::text AS id")[0]["id"]; }

    // A new staff member with a profile; returns the user id.
    std::string newStaff() {
        std::string id = uuid();
        const std::string email = "realtime-" + id + "@example.com";
        exec("INSERT INTO auth.users (id, email, encrypted_password) VALUES ($1, $2, 'x')",
             {id, email});
        exec("INSERT INTO public.profiles (id, email, portal_role) VALUES ($1, $2, 'staff')",
             {id, email});
        return id;
    }

    std::string tokenFor(const std::string& user, std::int64_t lifetime = 3600) const {
        return Jwt::sign({{"sub", user},
                          {"role", "authenticated"},
                          {"aud", "authenticated"},
                          {"exp", now() + lifetime}},
                         secret_);
    }

    std::string newCall() {
        std::string id = uuid();
        exec("INSERT INTO public.live_calls (id, line, caller_number) VALUES ($1, 'l', '+1')",
             {id});
        return id;
    }

    std::string pg_;
    std::string secret_;
    std::string anonKey_;
    std::unique_ptr<Db> db_;
    std::unique_ptr<Db> data_;
    Catalog catalog_;
    SoupServer* soup_ = nullptr;
    SoupSession* session_ = nullptr;
    std::shared_ptr<RealtimeServer> realtime_;
    int port_ = 0;
};

const json ackEntry(const std::string& event, std::optional<std::string> filter = {}) {
    json entry{{"event", event}, {"schema", "public"}, {"table", "live_call_acks"}};
    if (filter) {
        entry["filter"] = *filter;
    }
    return entry;
}

void expectConfirmed(TestSocket& socket, const std::string& name) {
    const auto confirmation = socket.next();
    ASSERT_TRUE(confirmation);
    EXPECT_EQ(*confirmation, (PhoenixMessage{std::nullopt,
                                             std::nullopt,
                                             "realtime:" + name,
                                             "system",
                                             {{"extension", "postgres_changes"},
                                              {"status", "ok"},
                                              {"message", "Subscribed to PostgreSQL"},
                                              {"channel", name}}}));
}

TEST_F(RealtimeEndpoint, RefusesHandshakesWithoutAGoodApiKey) {
    const std::string expired = Jwt::sign({{"role", "anon"}, {"exp", now() - 10}}, secret_);
    const std::string noExp = Jwt::sign({{"role", "anon"}}, secret_);
    const std::string foreign =
        Jwt::sign({{"role", "anon"}, {"exp", now() + 100}}, "another-secret");
    struct Case {
        const char* name;
        std::string query;
        std::optional<std::string> header;
        guint status;
        std::string error;
    };
    const std::vector<Case> cases{
        {"no key", "?vsn=2.0.0", {}, 401, "API key is missing"},
        {"empty key", "?apikey=&vsn=2.0.0", {}, 401, "API key is missing"},
        {"not a JWT", "?apikey=abc", {}, 401, "API key is invalid"},
        {"other secret", "?apikey=" + foreign, {}, 401, "API key is invalid"},
        {"expired", "?apikey=" + expired, {}, 401, "Token has expired"},
        {"no exp", "?apikey=" + noExp, {}, 401, "Fields `role` and `exp` are required in JWT"},
        {"header wins over parameter", "?apikey=" + anonKey_, "abc", 401, "API key is invalid"},
        {"unknown vsn", "?apikey=" + anonKey_ + "&vsn=3.0.0", {}, 400, "Unsupported vsn 3.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto answer = handshake(c.query, c.header);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(json::parse(answer.body, nullptr, false), (json{{"error", c.error}}));
    }
    EXPECT_EQ(realtime_->connectionCount(), 0U);
}

TEST_F(RealtimeEndpoint, AnswersHeartbeatsAndJoinsInBothSerializers) {
    for (const bool sendVsn : {true, false}) {
        for (const auto vsn : {RealtimeVsn::v1, RealtimeVsn::v2}) {
            if (!sendVsn && vsn == RealtimeVsn::v2) {
                continue;
            }
            SCOPED_TRACE(vsn == RealtimeVsn::v2 ? "2.0.0" : (sendVsn ? "1.0.0" : "no vsn"));
            auto socket = connect(vsn, sendVsn);
            ASSERT_TRUE(socket);
            socket->send({std::nullopt, "h1", "phoenix", "heartbeat", json::object()});
            const auto heartbeat = socket->next();
            ASSERT_TRUE(heartbeat);
            EXPECT_EQ(*heartbeat,
                      (PhoenixMessage{std::nullopt,
                                      "h1",
                                      "phoenix",
                                      "phx_reply",
                                      {{"status", "ok"}, {"response", json::object()}}}));

            const json changes =
                json::array({ackEntry("INSERT", "user_id=eq.0b5c9f3e-8d2a-4c61-9a7e-2f1d3c4b5a6e"),
                             {{"event", "*"}, {"schema", "public"}, {"table", "shell_config"}}});
            const auto reply = socket->join("realtime:desk", changes);
            EXPECT_EQ(reply.topic, "realtime:desk");
            EXPECT_EQ(reply.event, "phx_reply");
            EXPECT_EQ(reply.ref, "1");
            EXPECT_EQ(reply.joinRef,
                      vsn == RealtimeVsn::v2 ? std::optional<std::string>("1") : std::nullopt);
            ASSERT_EQ(reply.payload["status"], "ok");
            const auto& entries = reply.payload["response"]["postgres_changes"];
            ASSERT_EQ(entries.size(), 2U);
            for (std::size_t i = 0; i < 2; ++i) {
                auto entry = entries[i];
                const auto id = entry["id"].get<std::int64_t>();
                EXPECT_GE(id, 0);
                EXPECT_LT(id, std::int64_t{1} << 27);
                entry.erase("id");
                EXPECT_EQ(entry, changes[i]);
            }
            expectConfirmed(*socket, "desk");
        }
    }
}

TEST_F(RealtimeEndpoint, RepliesWithErrorsToJoinsItCannotServe) {
    auto socket = connect(RealtimeVsn::v2);
    ASSERT_TRUE(socket);
    const std::vector<std::tuple<const char*, json, std::optional<std::string>, std::string>> cases{
        {"unknown table",
         json::array({{{"event", "*"}, {"schema", "public"}, {"table", "nope"}}}),
         {},
         "InvalidJoinPayload: unknown table public.nope"},
        {"unknown column",
         json::array({ackEntry("INSERT", "who=eq.1")}),
         {},
         "InvalidJoinPayload: invalid filter"},
        {"unknown operator",
         json::array({ackEntry("INSERT", "user_id=like.x")}),
         {},
         "InvalidJoinPayload: invalid filter"},
        {"bad token", json::array({ackEntry("INSERT")}), "a.b.c", "InvalidJWTToken: "},
        {"expired token", json::array({ackEntry("INSERT")}),
         tokenFor("0b5c9f3e-8d2a-4c61-9a7e-2f1d3c4b5a6e", -30),
         "InvalidJWTToken: Token has expired"},
    };
    for (const auto& [name, changes, token, reason] : cases) {
        SCOPED_TRACE(name);
        const auto reply = socket->join("realtime:bad", changes, token);
        EXPECT_EQ(reply.payload["status"], "error");
        EXPECT_EQ(reply.payload["response"]["reason"].get<std::string>().rfind(reason, 0), 0U)
            << reply.payload.dump();
    }
    EXPECT_TRUE(socket->drain(200).empty()) << "no confirmation follows a refused join";
}

class RealtimeChanges : public RealtimeEndpoint,
                        public ::testing::WithParamInterface<RealtimeVsn> {};

TEST_P(RealtimeChanges, DeliverInsertUpdateAndDeleteInCommitOrderWithTheExactShape) {
    const std::string user = newStaff();
    const std::string call = uuid();
    auto socket = connect(GetParam());
    ASSERT_TRUE(socket);
    const auto reply = socket->join("realtime:calls-" + call,
                                    json::array({{{"event", "*"},
                                                  {"schema", "public"},
                                                  {"table", "live_calls"},
                                                  {"filter", "id=eq." + call}}}),
                                    tokenFor(user));
    ASSERT_EQ(reply.payload["status"], "ok") << reply.payload.dump();
    const auto id = reply.payload["response"]["postgres_changes"][0]["id"];
    expectConfirmed(*socket, "calls-" + call);

    json columns = json::array();
    for (const auto& column : catalog_.table("live_calls")->columns) {
        columns.push_back({{"name", column.name}, {"type", column.udtName}});
    }
    const std::regex timestamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    // Each change is awaited before the next write: rows are checked for row level security
    // when their change is sent, and a row deleted by then is no longer visible.
    const std::vector<std::pair<std::string, DbParams>> writes{
        {"INSERT INTO public.live_calls (id, line, caller_number) VALUES ($1, 'sales', "
         "'+15550100')",
         {call}},
        {"UPDATE public.live_calls SET ended_at = now() WHERE id = $1", {call}},
        {"DELETE FROM public.live_calls WHERE id = $1", {call}},
    };
    std::vector<json> data;
    for (const auto& [sql, params] : writes) {
        exec(sql, params);
        const auto frame = socket->next();
        ASSERT_TRUE(frame) << sql;
        EXPECT_EQ(frame->joinRef, std::nullopt);
        EXPECT_EQ(frame->ref, std::nullopt);
        EXPECT_EQ(frame->topic, "realtime:calls-" + call);
        EXPECT_EQ(frame->event, "postgres_changes");
        EXPECT_EQ(frame->payload["ids"], json::array({id}));
        data.push_back(frame->payload["data"]);
        EXPECT_EQ(data.back()["schema"], "public");
        EXPECT_EQ(data.back()["table"], "live_calls");
        EXPECT_EQ(data.back()["columns"], columns);
        EXPECT_EQ(data.back()["errors"], nullptr);
        EXPECT_TRUE(
            std::regex_match(data.back()["commit_timestamp"].get<std::string>(), timestamp));
    }
    ASSERT_EQ(data.size(), 3U);
    EXPECT_EQ(data[0]["type"], "INSERT");
    EXPECT_FALSE(data[0].contains("old_record"));
    EXPECT_EQ(data[0]["record"]["id"], call);
    EXPECT_EQ(data[0]["record"]["line"], "sales");
    EXPECT_EQ(data[0]["record"]["ended_at"], nullptr);
    EXPECT_EQ(data[0]["record"].size(), columns.size());
    EXPECT_EQ(data[1]["type"], "UPDATE");
    EXPECT_EQ(data[1]["old_record"], data[0]["record"]);
    EXPECT_TRUE(data[1]["record"]["ended_at"].is_string());
    EXPECT_EQ(data[2]["type"], "DELETE");
    EXPECT_FALSE(data[2].contains("record"));
    EXPECT_EQ(data[2]["old_record"], (json{{"id", call}}));
    EXPECT_EQ(data[0].size(), 7U);
    EXPECT_EQ(data[1].size(), 8U);
    EXPECT_EQ(data[2].size(), 7U);
}

INSTANTIATE_TEST_SUITE_P(Vsn, RealtimeChanges, ::testing::Values(RealtimeVsn::v1, RealtimeVsn::v2),
                         [](const ::testing::TestParamInfo<RealtimeVsn>& param) {
                             return param.param == RealtimeVsn::v1 ? "v1" : "v2";
                         });

TEST_F(RealtimeEndpoint, FiltersAndRowLevelSecurityKeepOtherUsersRowsAway) {
    const std::string a = newStaff();
    const std::string b = newStaff();
    auto socket = connect(RealtimeVsn::v2);
    ASSERT_TRUE(socket);
    const std::string token = tokenFor(a);
    const auto mine =
        socket->join("realtime:mine", json::array({ackEntry("INSERT", "user_id=eq." + a)}), token);
    expectConfirmed(*socket, "mine");
    const auto all = socket->join("realtime:all", json::array({ackEntry("INSERT")}), token);
    expectConfirmed(*socket, "all");
    const auto prefs = socket->join(
        "realtime:prefs",
        json::array({{{"event", "*"}, {"schema", "public"}, {"table", "staff_shell_prefs"}}}),
        token);
    expectConfirmed(*socket, "prefs");

    const std::string call = newCall();
    exec("INSERT INTO public.live_call_acks (call_id, user_id) VALUES ($1, $2)", {call, b});
    exec("INSERT INTO public.live_call_acks (call_id, user_id) VALUES ($1, $2)", {call, a});
    exec("INSERT INTO public.staff_shell_prefs (user_id) VALUES ($1)", {b});
    exec("INSERT INTO public.staff_shell_prefs (user_id) VALUES ($1)", {a});
    exec("UPDATE public.staff_shell_prefs SET ring_volume = 0.5 WHERE user_id = $1", {b});
    exec("UPDATE public.staff_shell_prefs SET ring_volume = 0.5 WHERE user_id = $1", {a});

    std::vector<std::string> seen;
    for (int i = 0; i < 4; ++i) {
        const auto frame = socket->next();
        ASSERT_TRUE(frame) << "change " << i;
        const auto& record = frame->payload["data"]["record"];
        seen.push_back(frame->topic + " " + frame->payload["data"]["type"].get<std::string>() +
                       " " + record["user_id"].get<std::string>());
    }
    // Channels of one socket get a change in no particular order.
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "realtime:all INSERT " + a, "realtime:mine INSERT " + a,
                        "realtime:prefs INSERT " + a, "realtime:prefs UPDATE " + a}));
    EXPECT_TRUE(socket->drain(300).empty());
}

TEST_F(RealtimeEndpoint, AccessTokenSwapsTheUserAndLeaveClosesTheChannel) {
    const std::string a = newStaff();
    auto socket = connect(RealtimeVsn::v2);
    ASSERT_TRUE(socket);
    // Joined with the anon key only: the acks are not readable.
    const auto reply =
        socket->join("realtime:acks", json::array({ackEntry("INSERT", "user_id=eq." + a)}));
    const auto joinRef = reply.joinRef;
    expectConfirmed(*socket, "acks");
    const std::string call = newCall();
    exec("INSERT INTO public.live_call_acks (call_id, user_id) VALUES ($1, $2)", {call, a});
    EXPECT_TRUE(socket->drain(300).empty());

    socket->send({joinRef,
                  socket->nextRef(),
                  "realtime:acks",
                  "access_token",
                  {{"access_token", tokenFor(a)}}});
    // Frames are handled in order, so the heartbeat's answer means the token was taken.
    socket->send({std::nullopt, "hb", "phoenix", "heartbeat", json::object()});
    ASSERT_TRUE(socket->next());
    const std::string second = newCall();
    exec("INSERT INTO public.live_call_acks (call_id, user_id) VALUES ($1, $2)", {second, a});
    const auto change = socket->next();
    ASSERT_TRUE(change);
    EXPECT_EQ(change->event, "postgres_changes");
    EXPECT_EQ(change->payload["data"]["record"]["call_id"], second);

    const std::string leaveRef = socket->nextRef();
    socket->send({joinRef, leaveRef, "realtime:acks", "phx_leave", json::object()});
    const auto left = socket->next();
    ASSERT_TRUE(left);
    EXPECT_EQ(*left, (PhoenixMessage{joinRef,
                                     leaveRef,
                                     "realtime:acks",
                                     "phx_reply",
                                     {{"status", "ok"}, {"response", json::object()}}}));
    const auto closed = socket->next();
    ASSERT_TRUE(closed);
    EXPECT_EQ(*closed,
              (PhoenixMessage{joinRef, joinRef, "realtime:acks", "phx_close", json::object()}));
    exec("INSERT INTO public.live_call_acks (call_id, user_id) VALUES ($1, $2)", {newCall(), a});
    EXPECT_TRUE(socket->drain(300).empty());

    // A bad token on a joined channel ends it with a system error.
    const auto again =
        socket->join("realtime:acks", json::array({ackEntry("INSERT")}), tokenFor(a));
    expectConfirmed(*socket, "acks");
    socket->send({again.joinRef,
                  socket->nextRef(),
                  "realtime:acks",
                  "access_token",
                  {{"access_token", tokenFor(a) + "x"}}});
    const auto error = socket->next();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->event, "system");
    EXPECT_EQ(error->payload["status"], "error");
    const auto end = socket->next();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->event, "phx_close");
    EXPECT_EQ(end->ref, again.joinRef);
}

TEST_F(RealtimeEndpoint, MalformedFramesAreAnsweredOrDroppedAndTheSocketKeepsWorking) {
    auto socket = connect(RealtimeVsn::v2);
    ASSERT_TRUE(socket);
    socket->sendText("not json");
    socket->sendText("[1,2]");
    socket->sendBinary(std::string("\x03\x00\x01", 3));
    socket->sendText(R"(["1","2","realtime:x","phx_join","payload"])");
    const auto answer = socket->next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->topic, "realtime:x");
    EXPECT_EQ(answer->ref, "2");
    EXPECT_EQ(answer->payload["status"], "error");
    socket->send({std::nullopt, "9", "phoenix", "heartbeat", json::object()});
    const auto heartbeat = socket->next();
    ASSERT_TRUE(heartbeat);
    EXPECT_EQ(heartbeat->ref, "9");
    EXPECT_FALSE(socket->closed());
}

TEST_F(RealtimeEndpoint, TheConfirmationDelayHoldsBackTheSubscription) {
    RealtimeOptions options;
    options.confirmDelayMs = 600;
    startServer(options);
    const std::string a = newStaff();
    auto socket = connect(RealtimeVsn::v2);
    ASSERT_TRUE(socket);
    const gint64 joined = g_get_monotonic_time();
    const auto reply = socket->join(
        "realtime:slow", json::array({ackEntry("INSERT", "user_id=eq." + a)}), tokenFor(a));
    ASSERT_EQ(reply.payload["status"], "ok");
    const std::string early = newCall();
    exec("INSERT INTO public.live_call_acks (call_id, user_id) VALUES ($1, $2)", {early, a});
    expectConfirmed(*socket, "slow");
    EXPECT_GE(g_get_monotonic_time() - joined, 600 * 1000);
    const std::string late = newCall();
    exec("INSERT INTO public.live_call_acks (call_id, user_id) VALUES ($1, $2)", {late, a});
    const auto change = socket->next();
    ASSERT_TRUE(change);
    EXPECT_EQ(change->payload["data"]["record"]["call_id"], late);
    EXPECT_TRUE(socket->drain(200).empty());
}

TEST_F(RealtimeEndpoint, QuietSocketsAreClosedAndClosedSocketsAreForgotten) {
    RealtimeOptions options;
    options.idleTimeoutMs = 400;
    startServer(options);
    auto quiet = connect(RealtimeVsn::v2);
    auto beating = connect(RealtimeVsn::v2);
    ASSERT_TRUE(quiet && beating);
    beating->join("realtime:x", json::array());
    EXPECT_EQ(realtime_->connectionCount(), 2U);
    const gint64 started = g_get_monotonic_time();
    while (g_get_monotonic_time() - started < gint64{1000} * 1000) {
        beating->send({std::nullopt, beating->nextRef(), "phoenix", "heartbeat", json::object()});
        runFor(100);
    }
    EXPECT_TRUE(quiet->closed());
    EXPECT_FALSE(beating->closed());
    EXPECT_TRUE(runUntil([&] { return realtime_->connectionCount() == 1; }));
    beating->close();
    EXPECT_TRUE(runUntil([&] { return realtime_->connectionCount() == 0; }));
}

TEST_F(RealtimeEndpoint, TheChangeFeedListensAgainAfterItsConnectionDrops) {
    RealtimeOptions options;
    options.relistenDelayMs = 100;
    startServer(options);
    const std::string a = newStaff();
    auto socket = connect(RealtimeVsn::v2);
    ASSERT_TRUE(socket);
    socket->join("realtime:acks", json::array({ackEntry("INSERT", "user_id=eq." + a)}),
                 tokenFor(a));
    expectConfirmed(*socket, "acks");
    const auto cut = exec("SELECT pg_terminate_backend(pid)::text AS done FROM pg_stat_activity "
                          "WHERE application_name = $1",
                          {"ostral-realtime-listen-" + std::to_string(::getpid())});
    ASSERT_EQ(cut.size(), 1U);
    EXPECT_TRUE(runUntil([&] { return !realtime_->listening(); }));
    EXPECT_TRUE(runUntil([&] { return realtime_->listening(); }));
    const std::string call = newCall();
    exec("INSERT INTO public.live_call_acks (call_id, user_id) VALUES ($1, $2)", {call, a});
    const auto change = socket->next();
    ASSERT_TRUE(change);
    EXPECT_EQ(change->payload["data"]["record"]["call_id"], call);
}

} // namespace
} // namespace ostral::devstack
