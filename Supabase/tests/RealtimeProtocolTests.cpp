#include <Supabase/RealtimeFrame.h>
#include <Supabase/RealtimeProtocol.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral::supabase {
namespace {

using Json = nlohmann::json;

TEST(RealtimeFrameTest, ReadsWellFormedFramesOfBothProtocolVersions) {
    struct Case {
        const char* name;
        std::string text;
        PhoenixMessage expected;
    };
    const std::vector<Case> cases = {
        {"2.0.0 join reply",
         R"(["1","1","realtime:calls","phx_reply",{"status":"ok","response":{}}])",
         {"1",
          "1",
          "realtime:calls",
          "phx_reply",
          {{"status", "ok"}, {"response", Json::object()}}}},
        {"2.0.0 server broadcast with null refs",
         R"([null,null,"realtime:calls","postgres_changes",{"ids":[7]}])",
         {std::nullopt, std::nullopt, "realtime:calls", "postgres_changes", {{"ids", {7}}}}},
        {"1.0.0 object without join_ref",
         R"({"topic":"phoenix","event":"phx_reply","payload":{"status":"ok"},"ref":"3"})",
         {std::nullopt, "3", "phoenix", "phx_reply", {{"status", "ok"}}}},
        {"1.0.0 object with join_ref and a null ref",
         R"({"join_ref":"2","ref":null,"topic":"realtime:a","event":"phx_close","payload":{}})",
         {"2", std::nullopt, "realtime:a", "phx_close", Json::object()}},
        {"1.0.0 object without ref",
         R"({"topic":"realtime:a","event":"system","payload":{"status":"ok"}})",
         {std::nullopt, std::nullopt, "realtime:a", "system", {{"status", "ok"}}}},
    };
    for (const Case& c : cases) {
        auto decoded = decodePhoenixFrame(c.text);
        ASSERT_TRUE(std::holds_alternative<PhoenixMessage>(decoded)) << c.name;
        EXPECT_EQ(std::get<PhoenixMessage>(decoded), c.expected) << c.name;
    }
}

TEST(RealtimeFrameTest, NamesTheProblemOfEachMalformedFrame) {
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    struct Case {
        const char* name;
        std::string text;
        FrameProblem expected;
    };
    const std::vector<Case> cases = {
        {"empty text", "", FrameProblem::notJson},
        {"cut short", R"(["1","1","realtime:a")", FrameProblem::notJson},
        {"nested beyond the limit", deep, FrameProblem::notJson},
        {"a number", "42", FrameProblem::notFrame},
        {"a string", R"("phx_reply")", FrameProblem::notFrame},
        {"four elements", R"([null,"1","phoenix","heartbeat"])", FrameProblem::notFrame},
        {"six elements", R"([null,"1","phoenix","heartbeat",{},1])", FrameProblem::notFrame},
        {"numeric join_ref", R"([1,"1","realtime:a","phx_reply",{}])", FrameProblem::badJoinRef},
        {"numeric ref", R"([null,2,"realtime:a","phx_reply",{}])", FrameProblem::badRef},
        {"empty topic", R"([null,null,"","system",{}])", FrameProblem::badTopic},
        {"numeric topic", R"([null,null,5,"system",{}])", FrameProblem::badTopic},
        {"null event", R"([null,null,"realtime:a",null,{}])", FrameProblem::badEvent},
        {"array payload", R"([null,null,"realtime:a","system",[]])", FrameProblem::badPayload},
        {"null payload", R"([null,null,"realtime:a","system",null])", FrameProblem::badPayload},
        {"object without topic", R"({"event":"system","payload":{}})", FrameProblem::badTopic},
        {"object without payload", R"({"topic":"realtime:a","event":"system"})",
         FrameProblem::badPayload},
        {"object with an object ref", R"({"topic":"a","event":"e","payload":{},"ref":{}})",
         FrameProblem::badRef},
    };
    for (const Case& c : cases) {
        auto decoded = decodePhoenixFrame(c.text);
        ASSERT_TRUE(std::holds_alternative<FrameProblem>(decoded)) << c.name;
        EXPECT_EQ(std::get<FrameProblem>(decoded), c.expected) << c.name;
    }
}

TEST(RealtimeFrameTest, WritesProtocol2ArraysThatReadBackTheSame) {
    const PhoenixMessage heartbeat{std::nullopt, "5", "phoenix", "heartbeat", Json::object()};
    EXPECT_EQ(encodePhoenixFrame(heartbeat), R"([null,"5","phoenix","heartbeat",{}])");

    const PhoenixMessage token{
        "3", "9", "realtime:calls", "access_token", {{"access_token", "jwt"}}};
    EXPECT_EQ(encodePhoenixFrame(token),
              R"(["3","9","realtime:calls","access_token",{"access_token":"jwt"}])");
    auto decoded = decodePhoenixFrame(encodePhoenixFrame(token));
    ASSERT_TRUE(std::holds_alternative<PhoenixMessage>(decoded));
    EXPECT_EQ(std::get<PhoenixMessage>(decoded), token);

    // A topic that is not UTF-8 is written with replacement characters instead of failing.
    const PhoenixMessage broken{"1", "1", "realtime:\xff", "phx_join", Json::object()};
    EXPECT_NE(encodePhoenixFrame(broken).find("realtime:"), std::string::npos);
}

std::vector<PostgresChangeConfig> callListenerConfigs() {
    const std::string user = "user_id=eq.6f1c1e0a-2b7d-4a7e-9a51-3b0c7d2e9f10";
    return {
        {PostgresAction::insert, "public", "live_calls", std::nullopt},
        {PostgresAction::update, "public", "live_calls", std::nullopt},
        {PostgresAction::insert, "public", "live_call_acks", user},
        {PostgresAction::all, "public", "shell_config", std::nullopt},
        {PostgresAction::all, "public", "staff_shell_prefs", user},
    };
}

TEST(RealtimeJoinPayloadTest, StatesTheListenersInOrderWithTheAccessToken) {
    const Json expected = Json::parse(R"({
        "config": {
            "broadcast": {"ack": false, "self": false, "replication_ready": false},
            "presence": {"key": "", "enabled": false},
            "postgres_changes": [
                {"event": "INSERT", "schema": "public", "table": "live_calls"},
                {"event": "UPDATE", "schema": "public", "table": "live_calls"},
                {"event": "INSERT", "schema": "public", "table": "live_call_acks",
                 "filter": "user_id=eq.6f1c1e0a-2b7d-4a7e-9a51-3b0c7d2e9f10"},
                {"event": "*", "schema": "public", "table": "shell_config"},
                {"event": "*", "schema": "public", "table": "staff_shell_prefs",
                 "filter": "user_id=eq.6f1c1e0a-2b7d-4a7e-9a51-3b0c7d2e9f10"}
            ],
            "private": false
        },
        "access_token": "user-jwt",
        "version": "ostral-admin-supabase/0.1"
    })");
    EXPECT_EQ(realtimeJoinPayload(callListenerConfigs(), std::string("user-jwt")), expected);
}

TEST(RealtimeJoinPayloadTest, LeavesOutTheAccessTokenWhenThereIsNone) {
    const Json payload = realtimeJoinPayload({}, std::nullopt);
    EXPECT_FALSE(payload.contains("access_token"));
    EXPECT_EQ(payload["config"]["postgres_changes"], Json::array());
}

TEST(RealtimeIdMatchingTest, GivesEachListenerTheIdOfItsOwnEntry) {
    const std::vector<PostgresChangeConfig> two = {
        {PostgresAction::insert, "public", "live_calls", std::nullopt},
        {PostgresAction::insert, "public", "live_call_acks", "user_id=eq.u"},
    };
    struct Case {
        const char* name;
        std::vector<PostgresChangeConfig> configs;
        const char* response;
        std::optional<std::vector<std::int64_t>> expected;
    };
    const std::vector<Case> cases = {
        {"entries echoed in order", two,
         R"({"postgres_changes":[
             {"event":"INSERT","schema":"public","table":"live_calls","id":11},
             {"event":"INSERT","schema":"public","table":"live_call_acks",
              "filter":"user_id=eq.u","id":22}]})",
         std::vector<std::int64_t>{11, 22}},
        {"entries in another order", two,
         R"({"postgres_changes":[
             {"event":"INSERT","schema":"public","table":"live_call_acks",
              "filter":"user_id=eq.u","id":22},
             {"event":"INSERT","schema":"public","table":"live_calls","id":11}]})",
         std::vector<std::int64_t>{11, 22}},
        {"a null filter equals a missing one",
         {{PostgresAction::update, "public", "live_calls", std::nullopt}},
         R"({"postgres_changes":[{"event":"UPDATE","schema":"public","table":"live_calls",
             "filter":null,"id":5}]})",
         std::vector<std::int64_t>{5}},
        {"identical listeners share the id",
         {{PostgresAction::all, "public", "t", std::nullopt},
          {PostgresAction::all, "public", "t", std::nullopt}},
         R"({"postgres_changes":[{"event":"*","schema":"public","table":"t","id":3}]})",
         std::vector<std::int64_t>{3, 3}},
        {"an id written as a whole float",
         {{PostgresAction::all, "public", "t", std::nullopt}},
         R"({"postgres_changes":[{"event":"*","schema":"public","table":"t","id":7.0}]})",
         std::vector<std::int64_t>{7}},
        {"no listeners and no list", {}, R"({})", std::vector<std::int64_t>{}},
        {"a listener without an entry", two,
         R"({"postgres_changes":[{"event":"INSERT","schema":"public","table":"live_calls","id":1}]})",
         std::nullopt},
        {"an entry with another filter",
         {two[1]},
         R"({"postgres_changes":[{"event":"INSERT","schema":"public","table":"live_call_acks",
             "filter":"user_id=eq.v","id":1}]})",
         std::nullopt},
        {"an entry with another event",
         {two[0]},
         R"({"postgres_changes":[{"event":"*","schema":"public","table":"live_calls","id":1}]})",
         std::nullopt},
        {"an id written as text",
         {two[0]},
         R"({"postgres_changes":[{"event":"INSERT","schema":"public","table":"live_calls","id":"1"}]})",
         std::nullopt},
        {"an entry without an id",
         {two[0]},
         R"({"postgres_changes":[{"event":"INSERT","schema":"public","table":"live_calls"}]})",
         std::nullopt},
        {"listeners but no list", {two[0]}, R"({})", std::nullopt},
        {"a response that is not an object", {two[0]}, R"([])", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(matchPostgresChangeIds(c.configs, Json::parse(c.response)), c.expected) << c.name;
    }
}

TEST(RealtimeChangeEventTest, ReadsEachKindOfChange) {
    const auto insert = decodePostgresChangeEvent(Json::parse(R"({"ids":[11,22],"data":{
        "schema":"public","table":"live_calls","commit_timestamp":"2026-12-11T10:00:00.123Z",
        "type":"INSERT","columns":[{"name":"id","type":"uuid"}],
        "record":{"id":"c1","caller_name":"Dispatch"},"errors":null}})"));
    ASSERT_TRUE(insert);
    EXPECT_EQ(insert->ids, (std::vector<std::int64_t>{11, 22}));
    EXPECT_EQ(insert->change.type, "INSERT");
    EXPECT_EQ(insert->change.record, Json::parse(R"({"id":"c1","caller_name":"Dispatch"})"));
    EXPECT_EQ(insert->change.oldRecord, Json::object());
    EXPECT_EQ(insert->change.columns, Json::parse(R"([{"name":"id","type":"uuid"}])"));
    EXPECT_EQ(insert->change.commitTimestamp, "2026-12-11T10:00:00.123Z");
    EXPECT_TRUE(insert->change.errors.empty());

    const auto removed = decodePostgresChangeEvent(Json::parse(
        R"({"ids":[1],"data":{"type":"DELETE","old_record":{"id":"c1"},
            "errors":["Error 413: Payload Too Large"]}})"));
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->change.record, Json::object());
    EXPECT_EQ(removed->change.oldRecord, Json::parse(R"({"id":"c1"})"));
    EXPECT_EQ(removed->change.columns, Json::array());
    EXPECT_EQ(removed->change.errors, std::vector<std::string>{"Error 413: Payload Too Large"});

    const auto lowerCase =
        decodePostgresChangeEvent(Json::parse(R"({"ids":[],"data":{"type":"update"}})"));
    ASSERT_TRUE(lowerCase);
    EXPECT_EQ(lowerCase->change.type, "UPDATE");
}

TEST(RealtimeChangeEventTest, RefusesMalformedEvents) {
    const std::vector<const char*> cases = {
        R"({"data":{"type":"INSERT"}})",
        R"({"ids":7,"data":{"type":"INSERT"}})",
        R"({"ids":["7"],"data":{"type":"INSERT"}})",
        R"({"ids":[1.5],"data":{"type":"INSERT"}})",
        R"({"ids":[1]})",
        R"({"ids":[1],"data":"INSERT"})",
        R"({"ids":[1],"data":{}})",
        R"({"ids":[1],"data":{"type":"TRUNCATE"}})",
        R"({"ids":[1],"data":{"type":3}})",
        R"([])",
    };
    for (const char* text : cases) {
        EXPECT_FALSE(decodePostgresChangeEvent(Json::parse(text))) << text;
    }
}

TEST(RealtimeChangeEventTest, ListenersReceiveTheirOwnKindOfEvent) {
    struct Case {
        PostgresAction action;
        const char* type;
        bool expected;
    };
    const std::vector<Case> cases = {
        {PostgresAction::insert, "INSERT", true}, {PostgresAction::insert, "UPDATE", false},
        {PostgresAction::update, "update", true}, {PostgresAction::del, "DELETE", true},
        {PostgresAction::del, "INSERT", false},   {PostgresAction::all, "DELETE", true},
        {PostgresAction::all, "INSERT", true},    {PostgresAction::update, "UPDATED", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(postgresActionMatches(c.action, c.type), c.expected)
            << postgresActionName(c.action) << " " << c.type;
    }
}

} // namespace
} // namespace ostral::supabase
