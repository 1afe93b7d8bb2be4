#include "BackendFixture.h"

#include <regex>

namespace ostral::devstack {
namespace {

using nlohmann::json;

class FunctionsTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        staff = newUser("functions", {.portalRole = "dispatcher", .lines = "recruiting"});
    }

    // The function's answer as the REST interface returns it to a staff member: one JSON value.
    json callAsStaff(std::string_view sql, const std::vector<std::optional<std::string>>& params) {
        EXPECT_TRUE(pg->actAs("authenticated", staff.id).ok());
        const PgResult result = pg->exec(sql, params);
        pg->resetRole();
        EXPECT_TRUE(result.ok()) << result.error;
        return json::parse(result.value(0, 0).value_or("null"));
    }

    TestUser staff;
};

TEST_F(FunctionsTest, RingingCallsAreTheFreshCallsThatHaveNotEnded) {
    struct Case {
        const char* name;
        const char* startedAgo; // interval
        bool ended;
        bool listed;
    };
    const std::vector<Case> cases{
        {"just started", "0 seconds", false, true},
        {"well inside the ring window", "20 seconds", false, true},
        {"ended", "2 seconds", true, false},
        {"past the ring window", "31 seconds", false, false},
        {"long gone", "2 hours", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = mustExec("INSERT INTO live_calls (line, caller_number, created_at, "
                                        "ended_at) VALUES ('devstack-test', '+15555550123', now() "
                                        "- $1::interval, CASE WHEN $2 THEN now() END) RETURNING id",
                                        {c.startedAgo, c.ended ? "true" : "false"})
                                   .value(0, 0)
                                   .value_or("");
        const json rows =
            callAsStaff("SELECT coalesce(jsonb_agg(to_jsonb(r)), '[]') FROM live_calls_ringing() r "
                        "WHERE id = $1",
                        {id});
        ASSERT_TRUE(rows.is_array());
        ASSERT_EQ(rows.size(), c.listed ? 1u : 0u);
        if (!c.listed) {
            continue;
        }
        const json& row = rows[0];
        ASSERT_TRUE(row["age_seconds"].is_number());
        const double expectedAge = std::string(c.startedAgo) == "0 seconds" ? 0.0 : 20.0;
        EXPECT_GE(row["age_seconds"].get<double>(), expectedAge);
        EXPECT_LT(row["age_seconds"].get<double>(), expectedAge + 5.0);
    }
}

TEST_F(FunctionsTest, RingingRowsCarryEveryColumnOfACall) {
    const std::string id = insertCall(", candidate_id, candidate_name",
                                      ", 'C4D1DA7E-0000-4000-8000-000000000001', 'Jordan Ellis'");
    const json rows = callAsStaff(
        "SELECT jsonb_agg(to_jsonb(r)) FROM live_calls_ringing() r WHERE id = $1", {id});
    ASSERT_EQ(rows.size(), 1u);
    const json& row = rows[0];
    EXPECT_EQ(row["id"], id);
    EXPECT_EQ(row["line"], "devstack-test");
    EXPECT_EQ(row["caller_number"], "+15555550100");
    // uuid columns answer in lower case whatever case was written.
    EXPECT_EQ(row["candidate_id"], "c4d1da7e-0000-4000-8000-000000000001");
    EXPECT_EQ(row["candidate_name"], "Jordan Ellis");
    for (const char* absent : {"fleet_card_id", "fleet_card_name", "maintenance_card_id",
                               "maintenance_card_name", "ended_at"}) {
        EXPECT_TRUE(row.contains(absent) && row[absent].is_null()) << absent;
    }
    // The REST interface's timestamp form in UTC.
    const std::regex timestamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?\+00:00)");
    EXPECT_TRUE(std::regex_match(row["created_at"].get<std::string>(), timestamp))
        << row["created_at"];
}

TEST_F(FunctionsTest, CallContextListsTheFactsAboutTheCaller) {
    const std::string phone = "+1555" + randomUuid().substr(0, 7);
    // An earlier call from the same number counts as history.
    mustExec("INSERT INTO live_calls (line, caller_number, created_at, ended_at) VALUES "
             "('tamrell_fleet', $1, now() - interval '2 days', now() - interval '2 days')",
             {phone});
    const std::string id =
        mustExec("INSERT INTO live_calls (line, caller_number, fleet_card_id, fleet_card_name) "
                 "VALUES ('tamrell_fleet', $1, gen_random_uuid(), 'Truck 214') RETURNING id",
                 {phone})
            .value(0, 0)
            .value_or("");

    const json context = callAsStaff("SELECT call_context(p_call_id => $1)", {id});
    ASSERT_TRUE(context.is_object());
    ASSERT_TRUE(context["fields"].is_array());
    std::vector<std::pair<std::string, std::string>> fields;
    for (const json& field : context["fields"]) {
        ASSERT_TRUE(field["label"].is_string() && field["value"].is_string()) << field;
        fields.emplace_back(field["label"], field["value"]);
    }
    ASSERT_GE(fields.size(), 4u);
    EXPECT_EQ(fields[0], std::make_pair(std::string("Line"), std::string("Tamrell Fleet")));
    EXPECT_EQ(fields[1], std::make_pair(std::string("Caller"), phone));
    EXPECT_EQ(fields[2], std::make_pair(std::string("Fleet card"), std::string("Truck 214")));
    EXPECT_EQ(fields[3],
              std::make_pair(std::string("Calls in the last 30 days"), std::string("1")));
}

TEST_F(FunctionsTest, CallContextOfAnUnknownCallHasNoFields) {
    const json context = callAsStaff("SELECT call_context($1)", {randomUuid()});
    EXPECT_EQ(context, json::parse(R"({"fields": []})"));
}

TEST_F(FunctionsTest, FunctionsAreNotOpenToAnonymousCallers) {
    ASSERT_TRUE(pg->actAs("anon").ok());
    const PgResult ringing = pg->exec("SELECT * FROM live_calls_ringing()");
    const PgResult context = pg->exec("SELECT call_context($1)", {randomUuid()});
    pg->resetRole();
    EXPECT_EQ(ringing.sqlState, "42501") << ringing.error;
    EXPECT_EQ(context.sqlState, "42501") << context.error;
}

TEST_F(FunctionsTest, RowsReadByTheShellHaveTheTypesItDecodes) {
    const json prefs =
        callAsStaff("SELECT to_jsonb(s) FROM staff_shell_prefs s WHERE user_id = $1", {staff.id});
    EXPECT_EQ(prefs["lines"], json::array({"recruiting"}));
    EXPECT_TRUE(prefs["ring_device"].is_null());
    EXPECT_TRUE(prefs["ring_volume"].is_null());
    EXPECT_EQ(prefs["line_modes"], json::object());

    const json lines = callAsStaff(
        "SELECT value FROM shell_config WHERE key = 'lines' AND $1::text IS NOT NULL", {"-"});
    ASSERT_TRUE(lines.is_object());
    for (const char* line :
         {"recruiting", "tamrell_fleet", "sablon_fleet", "maintenance", "test"}) {
        EXPECT_TRUE(lines.contains(line)) << line;
    }
    EXPECT_EQ(lines["sablon_fleet"]["label"], "Vossane Fleet");
    EXPECT_EQ(lines["maintenance"]["audio"], false);

    const json release = callAsStaff(
        "SELECT to_jsonb(r) FROM app_releases r WHERE channel = 'macos' AND version = $1",
        {"0.1.0"});
    EXPECT_TRUE(release["mandatory"].is_boolean());
    EXPECT_TRUE(release["version"].is_string());
    const json floor =
        callAsStaff("SELECT to_jsonb(v) FROM app_versions v WHERE platform = $1", {"macos"});
    EXPECT_TRUE(floor["min_version"].is_string());
}

} // namespace
} // namespace ostral::devstack
