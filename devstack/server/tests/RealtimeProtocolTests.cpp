// The Realtime endpoint's protocol without sockets or a database: frames, filters, joins,
// change payloads and one session's answers.
#include "Jwt.h"
#include "RealtimeChange.h"
#include "RealtimeFilter.h"
#include "RealtimeFrame.h"
#include "RealtimeJoin.h"
#include "RealtimeSession.h"

#include <gtest/gtest.h>

#include <set>

namespace ostral::devstack {
namespace {

using nlohmann::json;

constexpr std::string_view secret = "realtime-test-secret";
constexpr std::int64_t startTime = 1'800'000'000;
const std::string userA = "0b5c9f3e-8d2a-4c61-9a7e-2f1d3c4b5a6e";
const std::string userB = "7e6d5c4b-3a29-4180-9f7e-6d5c4b3a2918";

RealtimeCatalog testCatalog() {
    RealtimeCatalog catalog;
    catalog.tables.push_back(
        {"public",
         "live_call_acks",
         {{"id", "uuid"}, {"call_id", "uuid"}, {"user_id", "uuid"}, {"created_at", "timestamptz"}},
         {"id"}});
    catalog.tables.push_back({"public",
                              "staff_shell_prefs",
                              {{"user_id", "uuid"}, {"lines", "_text"}, {"ring_volume", "float8"}},
                              {"user_id"}});
    catalog.tables.push_back({"public",
                              "counters",
                              {{"id", "int8"}, {"n", "int4"}, {"flag", "bool"}, {"name", "text"}},
                              {"id"}});
    return catalog;
}

// ---------------------------------------------------------------------------------------------
// Frames

struct FrameCase {
    const char* name;
    RealtimeVsn vsn;
    std::string text;
    std::optional<PhoenixMessage> message;
    std::optional<FrameError> error; // reason is not compared
};

TEST(RealtimeFrame, DecodesBothSerializersAndKeepsWhatItCanOfBadFrames) {
    const PhoenixMessage heartbeat{std::nullopt, "7", "phoenix", "heartbeat", json::object()};
    const PhoenixMessage join{"3", "4", "realtime:x", "phx_join", json{{"a", 1}}};
    const std::string deep = std::string(40, '[') + std::string(40, ']');
    const std::vector<FrameCase> cases{
        {"v2 array", RealtimeVsn::v2, R"([null,"7","phoenix","heartbeat",{}])", heartbeat, {}},
        {"v2 with join_ref",
         RealtimeVsn::v2,
         R"(["3","4","realtime:x","phx_join",{"a":1}])",
         join,
         {}},
        {"v1 object with join_ref",
         RealtimeVsn::v1,
         R"({"topic":"realtime:x","event":"phx_join","payload":{"a":1},"ref":"4","join_ref":"3"})",
         join,
         {}},
        {"v1 object without refs",
         RealtimeVsn::v1,
         R"({"topic":"phoenix","event":"heartbeat","payload":{}})",
         PhoenixMessage{std::nullopt, std::nullopt, "phoenix", "heartbeat", json::object()},
         {}},
        {"not JSON", RealtimeVsn::v2, "garbage", {}, FrameError{}},
        {"empty frame", RealtimeVsn::v2, "", {}, FrameError{}},
        {"v2 object", RealtimeVsn::v2, R"({"topic":"phoenix"})", {}, FrameError{}},
        {"v1 array", RealtimeVsn::v1, R"([null,"1","phoenix","heartbeat",{}])", {}, FrameError{}},
        {"two elements",
         RealtimeVsn::v2,
         R"(["1","2"])",
         {},
         FrameError{"", std::nullopt, "1", "2"}},
        {"four elements keep topic",
         RealtimeVsn::v2,
         R"(["1","2","realtime:x","phx_join"])",
         {},
         FrameError{"", "realtime:x", "1", "2"}},
        {"topic is a number",
         RealtimeVsn::v2,
         R"(["1","2",5,"phx_join",{}])",
         {},
         FrameError{"", std::nullopt, "1", "2"}},
        {"event is null",
         RealtimeVsn::v2,
         R"(["1","2","realtime:x",null,{}])",
         {},
         FrameError{"", "realtime:x", "1", "2"}},
        {"payload is a list",
         RealtimeVsn::v2,
         R"(["1","2","realtime:x","phx_join",[]])",
         {},
         FrameError{"", "realtime:x", "1", "2"}},
        {"ref is a number",
         RealtimeVsn::v2,
         R"(["1",2,"realtime:x","phx_join",{}])",
         {},
         FrameError{"", "realtime:x", "1", std::nullopt}},
        {"v1 without payload",
         RealtimeVsn::v1,
         R"({"topic":"realtime:x","event":"e","ref":"9"})",
         {},
         FrameError{"", "realtime:x", std::nullopt, "9"}},
        {"deep nesting", RealtimeVsn::v2, deep, {}, FrameError{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto decoded = decodePhoenixFrame(c.text, c.vsn);
        ASSERT_EQ(decoded.hasValue(), c.message.has_value());
        if (c.message) {
            EXPECT_EQ(*decoded, *c.message);
        } else {
            EXPECT_FALSE(decoded.error().reason.empty());
            EXPECT_EQ(decoded.error().topic, c.error->topic);
            EXPECT_EQ(decoded.error().joinRef, c.error->joinRef);
            EXPECT_EQ(decoded.error().ref, c.error->ref);
        }
    }
}

TEST(RealtimeFrame, EncodesArraysForV2AndObjectsWithoutJoinRefForV1) {
    const PhoenixMessage reply{"3", "4", "realtime:x", "phx_reply", json{{"status", "ok"}}};
    EXPECT_EQ(json::parse(encodePhoenixFrame(reply, RealtimeVsn::v2)),
              json::parse(R"(["3","4","realtime:x","phx_reply",{"status":"ok"}])"));
    EXPECT_EQ(json::parse(encodePhoenixFrame(reply, RealtimeVsn::v1)),
              json::parse(R"({"topic":"realtime:x","event":"phx_reply",
                              "payload":{"status":"ok"},"ref":"4"})"));
    const PhoenixMessage broadcast{std::nullopt, std::nullopt, "realtime:x", "system", {}};
    EXPECT_EQ(json::parse(encodePhoenixFrame(broadcast, RealtimeVsn::v2))[1], nullptr);
}

TEST(RealtimeFrame, VsnDefaultsToOneAndRefusesOthers) {
    EXPECT_EQ(realtimeVsn(std::nullopt), RealtimeVsn::v1);
    EXPECT_EQ(realtimeVsn("1.0.0"), RealtimeVsn::v1);
    EXPECT_EQ(realtimeVsn("2.0.0"), RealtimeVsn::v2);
    EXPECT_EQ(realtimeVsn("3.0.0"), std::nullopt);
    EXPECT_EQ(realtimeVsn(""), std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Filters

TEST(RealtimeFilter, RefusesUnknownColumnsOperatorsAndValuesTheColumnCannotHold) {
    const auto catalog = testCatalog();
    const auto& acks = *catalog.find("public", "live_call_acks");
    const auto& counters = *catalog.find("public", "counters");
    const std::vector<std::pair<std::string, const RealtimeTable*>> refused{
        {"user_id", &acks},
        {"=eq.x", &acks},
        {"nobody=eq." + userA, &acks},
        {"user_id=like." + userA, &acks},
        {"user_id=eq", &acks},
        {"user_id=eq.not-a-uuid", &acks},
        {"id=eq.12x", &counters},
        {"id=eq.99999999999999999999", &counters},
        {"flag=eq.yes", &counters},
        {"name=in.a,b", &counters},
        {"name=in.(\"a,b)", &counters},
        {"id=in.(1,x)", &counters},
    };
    for (const auto& [text, table] : refused) {
        SCOPED_TRACE(text);
        const auto parsed = parseRealtimeFilter(text, *table);
        ASSERT_FALSE(parsed);
        EXPECT_NE(parsed.error().find(text), std::string::npos);
    }
    const auto in = parseRealtimeFilter(R"x(name=in.(a,"b,(c)","d\"e"))x", counters);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->values, (std::vector<std::string>{"a", "b,(c)", "d\"e"}));
}

TEST(RealtimeFilter, ComparesTheRecordValueAsTheColumnTypeDoes) {
    const auto catalog = testCatalog();
    const auto& acks = *catalog.find("public", "live_call_acks");
    const auto& counters = *catalog.find("public", "counters");
    struct Case {
        std::string filter;
        const RealtimeTable* table;
        json record;
        bool matches;
    };
    std::string upperA = userA;
    for (auto& c : upperA) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::vector<Case> cases{
        {"user_id=eq." + userA, &acks, {{"user_id", userA}}, true},
        {"user_id=eq." + userA, &acks, {{"user_id", userB}}, false},
        {"user_id=eq." + upperA, &acks, {{"user_id", userA}}, true},
        {"user_id=neq." + userA, &acks, {{"user_id", userB}}, true},
        {"user_id=eq." + userA, &acks, {{"user_id", nullptr}}, false},
        {"user_id=neq." + userA, &acks, {{"user_id", nullptr}}, false},
        {"user_id=eq." + userA, &acks, {{"id", userA}}, false},
        {"id=eq.10", &counters, {{"id", 10}}, true},
        {"id=lt.10", &counters, {{"id", 9}}, true},
        {"id=lt.10", &counters, {{"id", 10}}, false},
        {"id=lte.10", &counters, {{"id", 10}}, true},
        {"id=gt.9", &counters, {{"id", 10}}, true},
        {"id=gte.11", &counters, {{"id", 10}}, false},
        {"id=eq.5", &counters, {{"id", "five"}}, false},
        {"flag=eq.true", &counters, {{"flag", true}}, true},
        {"flag=eq.false", &counters, {{"flag", true}}, false},
        {"name=eq.10", &counters, {{"name", "10"}}, true},
        {"name=lt.9", &counters, {{"name", "10"}}, true},
        {"name=in.(x,\"a,b\")", &counters, {{"name", "a,b"}}, true},
        {"name=in.(x,y)", &counters, {{"name", "a"}}, false},
        {"id=in.(1,2,3)", &counters, {{"id", 2}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter + " on " + c.record.dump());
        const auto filter = parseRealtimeFilter(c.filter, *c.table);
        ASSERT_TRUE(filter) << filter.error();
        EXPECT_EQ(realtimeFilterMatches(*filter, c.record), c.matches);
    }
}

// ---------------------------------------------------------------------------------------------
// Joins

json joinPayload(json changes) {
    return {{"config", {{"postgres_changes", std::move(changes)}}}};
}

TEST(RealtimeJoin, AnswersTheClientsOwnEntriesWithStableIds) {
    const auto catalog = testCatalog();
    const json entries = json::parse(R"([
        {"event":"INSERT","schema":"public","table":"live_call_acks",
         "filter":"user_id=eq.0b5c9f3e-8d2a-4c61-9a7e-2f1d3c4b5a6e"},
        {"event":"*","schema":"public","table":"staff_shell_prefs"},
        {"event":"update","schema":"public","table":"*"},
        {"event":"DELETE","schema":"public","filter":""}])");
    const auto request = parseRealtimeJoin(joinPayload(entries), catalog);
    ASSERT_TRUE(request) << request.error();
    ASSERT_EQ(request->subscriptions.size(), 4U);
    ASSERT_EQ(request->replyEntries.size(), 4U);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto withoutId = request->replyEntries[i];
        const auto id = withoutId["id"];
        withoutId.erase("id");
        EXPECT_EQ(withoutId, entries[i]);
        ASSERT_TRUE(id.is_number_integer());
        EXPECT_GE(id.get<std::int64_t>(), 0);
        EXPECT_LT(id.get<std::int64_t>(), std::int64_t{1} << 27);
        EXPECT_EQ(id, request->subscriptions[i].id);
        EXPECT_EQ(id, realtimeSubscriptionId(entries[i]));
    }
    EXPECT_NE(request->subscriptions[0].id, request->subscriptions[1].id);
    EXPECT_EQ(request->subscriptions[2].event, RealtimeEvent::update);
    EXPECT_EQ(request->subscriptions[2].table, std::nullopt);
    EXPECT_EQ(request->subscriptions[3].filter, std::nullopt);
    EXPECT_EQ(request->accessToken, std::nullopt);
}

TEST(RealtimeJoin, RefusesWhatItCannotSubscribeTo) {
    const auto catalog = testCatalog();
    const std::vector<std::pair<const char*, json>> cases{
        {"unknown table",
         joinPayload(json::parse(R"([{"event":"*","schema":"public","table":"nope"}])"))},
        {"unknown schema", joinPayload(json::parse(R"([{"event":"*","schema":"private"}])"))},
        {"unknown event", joinPayload(json::parse(
                              R"([{"event":"TRUNCATE","schema":"public","table":"counters"}])"))},
        {"no event", joinPayload(json::parse(R"([{"schema":"public","table":"counters"}])"))},
        {"no schema", joinPayload(json::parse(R"([{"event":"*","table":"counters"}])"))},
        {"table not text",
         joinPayload(json::parse(R"([{"event":"*","schema":"public","table":7}])"))},
        {"bad filter", joinPayload(json::parse(
                           R"([{"event":"*","schema":"public","table":"counters",
                                "filter":"id=like.1"}])"))},
        {"filter without table",
         joinPayload(json::parse(R"([{"event":"*","schema":"public","filter":"id=eq.1"}])"))},
        {"entry not an object", joinPayload(json::array({"INSERT"}))},
        {"changes not a list", joinPayload(json::object())},
        {"config not an object", json{{"config", "x"}}},
    };
    for (const auto& [name, payload] : cases) {
        SCOPED_TRACE(name);
        const auto request = parseRealtimeJoin(payload, catalog);
        ASSERT_FALSE(request);
        EXPECT_EQ(request.error().rfind("InvalidJoinPayload: ", 0), 0U) << request.error();
    }
    const auto badToken = parseRealtimeJoin(json{{"access_token", 5}}, catalog);
    ASSERT_FALSE(badToken);
    EXPECT_EQ(badToken.error().rfind("InvalidJWTToken: ", 0), 0U);
}

TEST(RealtimeJoin, ReadsTheTokenAndAcceptsAJoinWithoutConfig) {
    const auto catalog = testCatalog();
    const auto plain = parseRealtimeJoin(json::object(), catalog);
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->subscriptions.empty());
    EXPECT_EQ(plain->replyEntries, json::array());
    const auto both = parseRealtimeJoin(json{{"access_token", "a"}, {"user_token", "u"}}, catalog);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->accessToken, "u");
    const auto nullToken = parseRealtimeJoin(json{{"access_token", nullptr}}, catalog);
    ASSERT_TRUE(nullToken);
    EXPECT_EQ(nullToken->accessToken, std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Changes

std::string notification(const std::string& type, json record, json oldRecord,
                         const std::string& table = "live_call_acks") {
    json change{{"schema", "public"},
                {"table", table},
                {"type", type},
                {"commit_timestamp", "2026-12-11T10:00:00.123Z"}};
    if (!record.is_null()) {
        change["record"] = std::move(record);
    }
    if (!oldRecord.is_null()) {
        change["old_record"] = std::move(oldRecord);
    }
    return change.dump();
}

json ack(const std::string& id, const std::string& user) {
    return {{"id", id},
            {"call_id", "11111111-2222-4333-8444-555555555555"},
            {"user_id", user},
            {"created_at", "2026-12-11T10:00:00.1+00:00"}};
}

TEST(RealtimeChange, RefusesNotificationsThatAreNotChanges) {
    const std::vector<std::pair<const char*, std::string>> cases{
        {"not JSON", "{"},
        {"a list", "[]"},
        {"unknown type", notification("TRUNCATE", json::object(), json::object())},
        {"insert without record", notification("INSERT", nullptr, json::object())},
        {"update without old record", notification("UPDATE", json::object(), nullptr)},
        {"delete without old record", notification("DELETE", json::object(), nullptr)},
        {"no table", R"({"schema":"public","type":"INSERT","commit_timestamp":"t","record":{}})"},
        {"errors not a list",
         R"({"schema":"public","table":"t","type":"INSERT","commit_timestamp":"t","record":{},
             "errors":"x"})"},
        {"too large", std::string(9000, ' ') + notification("INSERT", json::object(), nullptr)},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(parseRealtimeNotification(text));
    }
}

TEST(RealtimeChange, BuildsTheDataOfEachKindOfChange) {
    const auto catalog = testCatalog();
    const auto* table = catalog.find("public", "live_call_acks");
    const json columns = json::parse(R"([{"name":"id","type":"uuid"},
        {"name":"call_id","type":"uuid"},{"name":"user_id","type":"uuid"},
        {"name":"created_at","type":"timestamptz"}])");
    const json row = ack("a0000000-0000-4000-8000-000000000001", userA);
    const json changed = ack("a0000000-0000-4000-8000-000000000001", userB);

    const auto insert = parseRealtimeNotification(notification("INSERT", row, nullptr));
    ASSERT_TRUE(insert);
    EXPECT_EQ(realtimeChangeData(*insert, table),
              (json{{"schema", "public"},
                    {"table", "live_call_acks"},
                    {"commit_timestamp", "2026-12-11T10:00:00.123Z"},
                    {"type", "INSERT"},
                    {"columns", columns},
                    {"record", row},
                    {"errors", nullptr}}));

    const auto update = parseRealtimeNotification(notification("UPDATE", changed, row));
    ASSERT_TRUE(update);
    const auto updateData = realtimeChangeData(*update, table);
    EXPECT_EQ(updateData["record"], changed);
    EXPECT_EQ(updateData["old_record"], row);
    EXPECT_EQ(updateData["type"], "UPDATE");

    const auto del = parseRealtimeNotification(notification("DELETE", nullptr, row));
    ASSERT_TRUE(del);
    const auto deleteData = realtimeChangeData(*del, table);
    EXPECT_FALSE(deleteData.contains("record"));
    EXPECT_EQ(deleteData["old_record"], (json{{"id", row["id"]}}));

    auto tooLarge = json::parse(notification("INSERT", {{"id", row["id"]}}, nullptr));
    tooLarge["errors"] = {"Error 413: Payload Too Large"};
    const auto large = parseRealtimeNotification(tooLarge.dump());
    ASSERT_TRUE(large);
    EXPECT_EQ(realtimeChangeData(*large, table)["errors"], tooLarge["errors"]);
}

TEST(RealtimeChange, MatchesSubscriptionsByTableEventAndFilter) {
    const auto catalog = testCatalog();
    const auto request = parseRealtimeJoin(
        joinPayload(json::array({
            {{"event", "INSERT"}, {"schema", "public"}, {"table", "live_call_acks"}},
            {{"event", "*"},
             {"schema", "public"},
             {"table", "live_call_acks"},
             {"filter", "user_id=eq." + userA}},
            {{"event", "DELETE"}, {"schema", "public"}, {"table", "staff_shell_prefs"}},
            {{"event", "UPDATE"}, {"schema", "public"}},
            {{"event", "INSERT"}, {"schema", "public"}, {"table", "live_call_acks"}},
        })),
        catalog);
    ASSERT_TRUE(request);
    const auto& subscriptions = request->subscriptions;
    const auto ids = [&](const std::string& text) {
        const auto change = parseRealtimeNotification(text);
        EXPECT_TRUE(change);
        return matchingSubscriptionIds(subscriptions, *change);
    };
    const auto id = [&](std::size_t i) { return subscriptions[i].id; };
    const json rowA = ack("a0000000-0000-4000-8000-000000000001", userA);
    const json rowB = ack("a0000000-0000-4000-8000-000000000002", userB);
    EXPECT_EQ(ids(notification("INSERT", rowA, nullptr)), (std::vector{id(0), id(1)}));
    EXPECT_EQ(ids(notification("INSERT", rowB, nullptr)), (std::vector{id(0)}));
    EXPECT_EQ(ids(notification("UPDATE", rowA, rowB)), (std::vector{id(1), id(3)}));
    EXPECT_EQ(ids(notification("UPDATE", rowB, rowA)), (std::vector{id(3)}));
    // A delete is matched on the row as it was.
    EXPECT_EQ(ids(notification("DELETE", nullptr, rowA)), (std::vector{id(1)}));
    EXPECT_EQ(ids(notification("DELETE", nullptr, {{"user_id", userA}}, "staff_shell_prefs")),
              (std::vector{id(2)}));
    EXPECT_TRUE(
        ids(notification("INSERT", {{"user_id", userA}}, nullptr, "staff_shell_prefs")).empty());
}

// ---------------------------------------------------------------------------------------------
// A session

std::string token(const std::string& sub, std::int64_t exp,
                  const std::string& role = "authenticated") {
    return Jwt::sign({{"sub", sub}, {"role", role}, {"exp", exp}}, secret);
}

class RealtimeSessionTest : public ::testing::Test {
protected:
    explicit RealtimeSessionTest(RealtimeVsn vsn = RealtimeVsn::v2)
        : session_(vsn, apiKeyClaims(), std::string(secret), catalog_, hooks()) {}

    static RealtimeClaims apiKeyClaims() {
        auto claims = verifyRealtimeToken(token("", startTime + 100000, "anon"), secret, startTime);
        return std::move(claims).value();
    }

    RealtimeSessionHooks hooks() {
        RealtimeSessionHooks hooks;
        hooks.send = [this](const std::string& frame) { sent_.push_back(json::parse(frame)); };
        hooks.nowUnix = [this] { return now_; };
        hooks.joined = [this](const std::string& topic, std::uint64_t serial) {
            joined_.emplace_back(topic, serial);
            if (autoConfirm_) {
                session_.confirm(topic, serial);
            }
        };
        hooks.rowVisible = [this](const RealtimeClaims& claims, const RealtimeTable& table,
                                  const std::vector<std::string>& key) {
            checks_.push_back(claims.role + ":" + claims.claims.value("sub", "") + ":" +
                              table.name + ":" + key.at(0));
            return visible_.count(key.at(0)) > 0;
        };
        hooks.log = [this](const std::string& line) { logged_.push_back(line); };
        return hooks;
    }

    void send(const json& frame) { session_.receive(frame.dump()); }
    std::vector<json> take() { return std::exchange(sent_, {}); }

    void deliver(const std::string& text) {
        const auto change = parseRealtimeNotification(text);
        ASSERT_TRUE(change);
        session_.deliver(*change);
    }

    json joinAcks(const std::string& joinRef, std::optional<std::string> accessToken = {},
                  const std::string& topic = "realtime:calls") {
        json payload = joinPayload(
            json::array({{{"event", "*"}, {"schema", "public"}, {"table", "live_call_acks"}}}));
        if (accessToken) {
            payload["access_token"] = *accessToken;
        }
        return {joinRef, joinRef, topic, "phx_join", payload};
    }

    static json systemOk(const std::string& name) {
        return {nullptr,
                nullptr,
                "realtime:" + name,
                "system",
                {{"extension", "postgres_changes"},
                 {"status", "ok"},
                 {"message", "Subscribed to PostgreSQL"},
                 {"channel", name}}};
    }

    RealtimeCatalog catalog_ = testCatalog();
    std::int64_t now_ = startTime;
    bool autoConfirm_ = true;
    std::vector<json> sent_;
    std::vector<std::pair<std::string, std::uint64_t>> joined_;
    std::vector<std::string> checks_;
    std::set<std::string> visible_;
    std::vector<std::string> logged_;
    RealtimeSession session_;
};

TEST_F(RealtimeSessionTest, AnswersHeartbeats) {
    send({nullptr, "9", "phoenix", "heartbeat", json::object()});
    EXPECT_EQ(take(), (std::vector<json>{{nullptr,
                                          "9",
                                          "phoenix",
                                          "phx_reply",
                                          {{"status", "ok"}, {"response", json::object()}}}}));
}

TEST_F(RealtimeSessionTest, RepliesToAJoinBeforeConfirmingItAndSendsNothingUntilConfirmed) {
    autoConfirm_ = false;
    send(joinAcks("1"));
    auto frames = take();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0][3], "phx_reply");
    EXPECT_EQ(frames[0][4]["status"], "ok");
    const auto id = frames[0][4]["response"]["postgres_changes"][0]["id"];
    ASSERT_EQ(joined_.size(), 1U);

    visible_.insert("a0000000-0000-4000-8000-000000000001");
    deliver(notification("INSERT", ack("a0000000-0000-4000-8000-000000000001", userA), nullptr));
    EXPECT_TRUE(take().empty());

    session_.confirm(joined_[0].first, joined_[0].second);
    EXPECT_EQ(take(), std::vector<json>{systemOk("calls")});
    session_.confirm(joined_[0].first, joined_[0].second);
    EXPECT_TRUE(take().empty());

    deliver(notification("INSERT", ack("a0000000-0000-4000-8000-000000000001", userA), nullptr));
    frames = take();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0][0], nullptr);
    EXPECT_EQ(frames[0][1], nullptr);
    EXPECT_EQ(frames[0][3], "postgres_changes");
    EXPECT_EQ(frames[0][4]["ids"], json::array({id}));
}

TEST_F(RealtimeSessionTest, ARejoinReplacesTheChannelAndIgnoresTheOldConfirmation) {
    autoConfirm_ = false;
    send(joinAcks("1"));
    json second = joinAcks("2");
    second[4]["config"]["postgres_changes"][0]["event"] = "DELETE";
    send(second);
    take();
    ASSERT_EQ(joined_.size(), 2U);
    EXPECT_EQ(session_.channelCount(), 1U);
    session_.confirm(joined_[0].first, joined_[0].second);
    EXPECT_TRUE(take().empty());
    session_.confirm(joined_[1].first, joined_[1].second);
    take();
    visible_.insert("a0000000-0000-4000-8000-000000000001");
    deliver(notification("INSERT", ack("a0000000-0000-4000-8000-000000000001", userA), nullptr));
    EXPECT_TRUE(take().empty());
}

TEST_F(RealtimeSessionTest, RefusesJoinsWithAnError) {
    struct Case {
        const char* name;
        json frame;
        std::string reason; // a prefix
    };
    const std::vector<Case> cases{
        {"bad signature", joinAcks("1", token(userA, startTime + 60) + "x"),
         "InvalidJWTToken: signature is invalid"},
        {"expired token", joinAcks("1", token(userA, startTime - 5)),
         "InvalidJWTToken: Token has expired 5 seconds ago"},
        {"not a JWT", joinAcks("1", "abc"), "InvalidJWTToken: "},
        {"no role", joinAcks("1", Jwt::sign({{"sub", userA}, {"exp", startTime + 60}}, secret)),
         "InvalidJWTToken: Fields `role` and `exp` are required in JWT"},
        {"unknown table",
         {"1", "1", "realtime:calls", "phx_join",
          joinPayload(json::array({{{"event", "*"}, {"schema", "public"}, {"table", "x"}}}))},
         "InvalidJoinPayload: unknown table public.x"},
        {"no sub-topic", joinAcks("1", std::nullopt, "realtime:"), "You must provide a topic name"},
        {"other topic", joinAcks("1", std::nullopt, "room:lobby"), "unmatched topic"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        send(c.frame);
        const auto frames = take();
        ASSERT_EQ(frames.size(), 1U);
        EXPECT_EQ(frames[0][0], c.frame[0]);
        EXPECT_EQ(frames[0][1], c.frame[1]);
        EXPECT_EQ(frames[0][3], "phx_reply");
        EXPECT_EQ(frames[0][4]["status"], "error");
        EXPECT_EQ(frames[0][4]["response"]["reason"].get<std::string>().rfind(c.reason, 0), 0U)
            << frames[0][4].dump();
    }
    EXPECT_EQ(session_.channelCount(), 0U);
    EXPECT_TRUE(joined_.empty());
}

TEST_F(RealtimeSessionTest, LeavingRepliesThenClosesWithTheJoinRef) {
    send(joinAcks("4"));
    take();
    send({"4", "8", "realtime:calls", "phx_leave", json::object()});
    EXPECT_EQ(take(),
              (std::vector<json>{{"4",
                                  "8",
                                  "realtime:calls",
                                  "phx_reply",
                                  {{"status", "ok"}, {"response", json::object()}}},
                                 {"4", "4", "realtime:calls", "phx_close", json::object()}}));
    EXPECT_EQ(session_.channelCount(), 0U);
    send({"4", "9", "realtime:calls", "phx_leave", json::object()});
    EXPECT_EQ(take().size(), 1U);
}

TEST_F(RealtimeSessionTest, ChecksRowsAsTheChannelsUserAndSendsDeletesUnchecked) {
    send(joinAcks("1", token(userA, startTime + 600)));
    take();
    const json mine = ack("a0000000-0000-4000-8000-000000000001", userA);
    const json theirs = ack("a0000000-0000-4000-8000-000000000002", userB);
    visible_.insert(mine["id"]);
    deliver(notification("INSERT", theirs, nullptr));
    deliver(notification("INSERT", mine, nullptr));
    deliver(notification("DELETE", nullptr, theirs));
    EXPECT_EQ(checks_,
              (std::vector<std::string>{
                  "authenticated:" + userA + ":live_call_acks:" + theirs["id"].get<std::string>(),
                  "authenticated:" + userA + ":live_call_acks:" + mine["id"].get<std::string>()}));
    const auto frames = take();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0][4]["data"]["record"], mine);
    EXPECT_EQ(frames[1][4]["data"]["type"], "DELETE");
    EXPECT_EQ(frames[1][4]["data"]["old_record"], (json{{"id", theirs["id"]}}));
}

TEST_F(RealtimeSessionTest, AccessTokenSwapsTheClaimsOrClosesTheChannel) {
    send(joinAcks("1"));
    take();
    const json row = ack("a0000000-0000-4000-8000-000000000001", userA);
    visible_.insert(row["id"]);
    deliver(notification("INSERT", row, nullptr));
    send({"1",
          "2",
          "realtime:calls",
          "access_token",
          {{"access_token", token(userA, startTime + 600)}}});
    send({"1", "3", "realtime:calls", "access_token", {{"access_token", "sb_publishable_x"}}});
    send({"1", "4", "realtime:calls", "access_token", {{"access_token", nullptr}}});
    deliver(notification("INSERT", row, nullptr));
    ASSERT_EQ(checks_.size(), 2U);
    EXPECT_EQ(checks_[0].rfind("anon::", 0), 0U);
    EXPECT_EQ(checks_[1].rfind("authenticated:" + userA, 0), 0U);
    EXPECT_EQ(take().size(), 2U) << "two changes, no replies to access_token";

    send({"1", "5", "realtime:calls", "access_token", {{"access_token", "not.a.token"}}});
    const auto frames = take();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0][3], "system");
    EXPECT_EQ(frames[0][4]["extension"], "system");
    EXPECT_EQ(frames[0][4]["status"], "error");
    EXPECT_EQ(frames[0][4]["channel"], "calls");
    EXPECT_EQ(frames[0][4]["message"].get<std::string>().rfind("InvalidJWTToken: ", 0), 0U);
    EXPECT_EQ(frames[1], (json{"1", "1", "realtime:calls", "phx_close", json::object()}));
    EXPECT_EQ(session_.channelCount(), 0U);
}

TEST_F(RealtimeSessionTest, ClosesAChannelWhoseTokenExpiredWhenAChangeComes) {
    send(joinAcks("1", token(userA, startTime + 10)));
    send(joinAcks("2", std::nullopt, "realtime:other"));
    take();
    now_ = startTime + 25;
    const json row = ack("a0000000-0000-4000-8000-000000000001", userA);
    visible_.insert(row["id"]);
    deliver(notification("INSERT", row, nullptr));
    const auto frames = take();
    ASSERT_EQ(frames.size(), 3U);
    EXPECT_EQ(frames[0][2], "realtime:calls");
    EXPECT_EQ(frames[0][4]["message"], "Token has expired 15 seconds ago");
    EXPECT_EQ(frames[1][3], "phx_close");
    EXPECT_EQ(frames[2][2], "realtime:other");
    EXPECT_EQ(frames[2][3], "postgres_changes");
}

TEST_F(RealtimeSessionTest, AnswersUnknownEventsAndMalformedFramesAndKeepsWorking) {
    send(joinAcks("1"));
    take();
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {R"(["1","2","realtime:calls","broadcast",{}])", "unknown event \"broadcast\""},
        {R"(["1","3","realtime:nowhere","access_token",{}])", "unmatched topic"},
        {R"([null,"4","phoenix","phx_join",{}])", "unmatched topic"},
        {R"(["1","5","realtime:calls","phx_join",[]])", "malformed message: "},
        {R"(["1","6","realtime:calls"])", "malformed message: "},
        {R"(not json)", std::nullopt},
        {R"({"topic":"phoenix"})", std::nullopt},
        {R"([1,2,3,4,5])", std::nullopt},
    };
    for (const auto& [frame, reason] : cases) {
        SCOPED_TRACE(frame);
        session_.receive(frame);
        const auto frames = take();
        if (!reason) {
            EXPECT_TRUE(frames.empty());
            continue;
        }
        ASSERT_EQ(frames.size(), 1U);
        EXPECT_EQ(frames[0][4]["status"], "error");
        EXPECT_EQ(frames[0][4]["response"]["reason"].get<std::string>().rfind(*reason, 0), 0U);
    }
    EXPECT_EQ(logged_.size(), 3U);
    EXPECT_EQ(session_.channelCount(), 1U);
    send({nullptr, "10", "phoenix", "heartbeat", json::object()});
    EXPECT_EQ(take().size(), 1U);
}

class RealtimeSessionV1Test : public RealtimeSessionTest {
protected:
    RealtimeSessionV1Test()
        : RealtimeSessionTest(RealtimeVsn::v1) {}
};

TEST_F(RealtimeSessionV1Test, SpeaksObjectsWithoutJoinRef) {
    session_.receive(R"({"topic":"realtime:calls","event":"phx_join","ref":"1",
        "payload":{"config":{"postgres_changes":[
            {"event":"*","schema":"public","table":"live_call_acks"}]}}})");
    const auto frames = take();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0]["ref"], "1");
    EXPECT_FALSE(frames[0].contains("join_ref"));
    EXPECT_EQ(frames[0]["payload"]["status"], "ok");
    EXPECT_EQ(frames[1], (json{{"topic", "realtime:calls"},
                               {"event", "system"},
                               {"ref", nullptr},
                               {"payload", systemOk("calls")[4]}}));
    session_.receive(R"({"topic":"realtime:calls","event":"phx_leave","ref":"2","payload":{}})");
    EXPECT_EQ(take().back(), (json{{"topic", "realtime:calls"},
                                   {"event", "phx_close"},
                                   {"ref", "1"},
                                   {"payload", json::object()}}));
}

} // namespace
} // namespace ostral::devstack
