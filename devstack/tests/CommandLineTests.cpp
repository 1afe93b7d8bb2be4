#include "BackendFixture.h"

#include <algorithm>

namespace ostral::devstack {
namespace {

using nlohmann::json;

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class CommandLineTest : public BackendTest {
protected:
    CommandResult run(const std::vector<std::string>& args) { return runDevstack(env, args); }

    // The call row as JSON, as the shell would receive it.
    json callRow(const std::string& id) {
        return json::parse(mustExec("SELECT to_jsonb(c) FROM live_calls c WHERE id = $1", {id})
                               .value(0, 0)
                               .value_or("null"));
    }
};

TEST_F(CommandLineTest, AddUserMakesAnAccountWithProfileAndLines) {
    const std::string email = "Cli.New-" + randomUuid().substr(0, 8) + "@Ostral.Test";
    const CommandResult added = run({"add-user", email, "s3cret-pw", "--name", "Cli New", "--role",
                                     "dispatcher", "--lines", "recruiting,test"});
    ASSERT_TRUE(added.ok()) << added.standardError;
    const std::string id = firstLine(added.standardOutput);
    ASSERT_EQ(id.size(), 36u) << added.standardOutput;

    std::string lower = email;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const PgResult account = mustExec(
        "SELECT u.email, u.encrypted_password = crypt('s3cret-pw', u.encrypted_password), "
        "p.full_name, p.portal_role, array_to_string(s.lines, ',') FROM auth.users u JOIN "
        "profiles p ON p.id = u.id JOIN staff_shell_prefs s ON s.user_id = u.id WHERE u.id = $1",
        {id});
    ASSERT_EQ(account.rows.size(), 1u);
    EXPECT_EQ(account.rows[0], (PgRow{lower, "t", "Cli New", "dispatcher", "recruiting,test"}));

    const CommandResult again = run({"add-user", lower, "another-pw"});
    EXPECT_NE(again.exitCode, 0);
    EXPECT_NE(again.standardError.find("exists already"), std::string::npos) << again.standardError;
}

TEST_F(CommandLineTest, AddUserWithoutARoleMakesAnAccountTheShellTurnsAway) {
    const TestUser user =
        newUser("cli-norole", {.portalRole = std::nullopt, .lines = std::nullopt});
    const PgResult profile =
        mustExec("SELECT portal_role, (SELECT count(*) FROM staff_shell_prefs WHERE user_id = $1) "
                 "FROM profiles WHERE id = $1",
                 {user.id});
    ASSERT_EQ(profile.rows.size(), 1u);
    EXPECT_EQ(profile.rows[0], (PgRow{std::nullopt, "0"}));
}

TEST_F(CommandLineTest, RingPutsTheMatchedRecordInTheRightColumns) {
    const std::string candidate = randomUuid();
    const std::string card = randomUuid();
    struct Case {
        const char* name;
        std::vector<std::string> args;
        json expected; // the columns that must hold these values; the other id/name columns null
    };
    const std::vector<Case> cases{
        {"bare call",
         {"ring", "test", "--phone", "+15555550101"},
         {{"line", "test"}, {"caller_number", "+15555550101"}}},
        {"candidate",
         {"ring", "recruiting", "--candidate", candidate, "--caller-name", "Jordan Ellis"},
         {{"candidate_id", candidate}, {"candidate_name", "Jordan Ellis"}}},
        {"fleet card",
         {"ring", "tamrell_fleet", "--card", card, "--caller-name", "Truck 214"},
         {{"fleet_card_id", card}, {"fleet_card_name", "Truck 214"}}},
        {"maintenance card",
         {"ring", "maintenance", "--card", card, "--caller-name", "Trailer 9"},
         {{"maintenance_card_id", card}, {"maintenance_card_name", "Trailer 9"}}},
        {"name without a match on a fleet line",
         {"ring", "sablon_fleet", "--caller-name", "R. Alvarez"},
         {{"fleet_card_name", "R. Alvarez"}}},
        {"quotes in values stay values",
         {"ring", "test", "--caller-name", "O'Neil'); DROP TABLE live_calls; --"},
         {{"candidate_name", "O'Neil'); DROP TABLE live_calls; --"}}},
    };
    const std::vector<std::string> matchColumns{"candidate_id",        "candidate_name",
                                                "fleet_card_id",       "fleet_card_name",
                                                "maintenance_card_id", "maintenance_card_name"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandResult rang = run(c.args);
        ASSERT_TRUE(rang.ok()) << rang.standardError;
        // Only the id goes to standard output, so that scripts can capture it.
        const std::string id = firstLine(rang.standardOutput);
        EXPECT_EQ(rang.standardOutput, id + "\n");
        const json row = callRow(id);
        ASSERT_TRUE(row.is_object()) << id;
        EXPECT_TRUE(row["ended_at"].is_null());
        for (const auto& [column, value] : c.expected.items()) {
            EXPECT_EQ(row[column], value) << column;
        }
        for (const std::string& column : matchColumns) {
            if (!c.expected.contains(column)) {
                EXPECT_TRUE(row[column].is_null()) << column;
            }
        }
        run({"end", id});
    }
}

TEST_F(CommandLineTest, RingTakesAGivenIdAndEndEndsTheCallOnce) {
    const std::string id = randomUuid();
    const CommandResult rang = run({"ring", "test", "--id", id});
    ASSERT_TRUE(rang.ok()) << rang.standardError;
    EXPECT_EQ(firstLine(rang.standardOutput), id);

    const CommandResult ended = run({"end", id});
    ASSERT_TRUE(ended.ok()) << ended.standardError;
    EXPECT_TRUE(callRow(id)["ended_at"].is_string());
    const std::string endedAt = callRow(id)["ended_at"];

    const CommandResult again = run({"end", id});
    EXPECT_TRUE(again.ok()) << again.standardError;
    EXPECT_NE(again.standardOutput.find("had ended already"), std::string::npos);
    EXPECT_EQ(callRow(id)["ended_at"], endedAt);

    const CommandResult duplicate = run({"ring", "test", "--id", id});
    EXPECT_NE(duplicate.exitCode, 0);
}

TEST_F(CommandLineTest, AckRecordsOneAcknowledgementPerUser) {
    const TestUser user = newUser("cli-ack");
    const std::string id = firstLine(run({"ring", "test"}).standardOutput);
    const CommandResult acked = run({"ack", id, user.email});
    ASSERT_TRUE(acked.ok()) << acked.standardError;
    EXPECT_EQ(mustExec("SELECT count(*) FROM live_call_acks WHERE call_id = $1 AND user_id = $2",
                       {id, user.id})
                  .value(0, 0),
              "1");

    const CommandResult again = run({"ack", id, user.email});
    EXPECT_NE(again.exitCode, 0);
    EXPECT_NE(again.standardError.find("already"), std::string::npos) << again.standardError;
    run({"end", id});
}

TEST_F(CommandLineTest, PrefsChangeModesVolumeAndDevice) {
    const TestUser user = newUser("cli-prefs", {.lines = "recruiting,test"});
    struct Step {
        std::vector<std::string> args;
        json lineModes;
        json ringVolume;
        json ringDevice;
        json lines;
    };
    const std::vector<Step> steps{
        {{"--line", "recruiting", "--mode", "silent", "--line", "test", "--mode", "off", "--volume",
          "0.5", "--device", "alsa_output.usb-headset"},
         {{"recruiting", "silent"}, {"test", "off"}},
         0.5,
         "alsa_output.usb-headset",
         {"recruiting", "test"}},
        // Ring is the absence of an entry.
        {{"--line", "recruiting", "--mode", "ring", "--no-device"},
         {{"test", "off"}},
         0.5,
         nullptr,
         {"recruiting", "test"}},
        {{"--lines", "maintenance", "--no-volume"},
         {{"test", "off"}},
         nullptr,
         nullptr,
         {"maintenance"}},
    };
    for (const Step& step : steps) {
        std::vector<std::string> args{"prefs", user.email};
        args.insert(args.end(), step.args.begin(), step.args.end());
        const CommandResult changed = run(args);
        ASSERT_TRUE(changed.ok()) << changed.standardError;
        const json row = json::parse(
            mustExec("SELECT to_jsonb(s) FROM staff_shell_prefs s WHERE user_id = $1", {user.id})
                .value(0, 0)
                .value_or("null"));
        EXPECT_EQ(row["line_modes"], step.lineModes);
        EXPECT_EQ(row["ring_volume"], step.ringVolume);
        EXPECT_EQ(row["ring_device"], step.ringDevice);
        EXPECT_EQ(row["lines"], step.lines);
    }
}

TEST_F(CommandLineTest, PrefsMakeARowForAUserWithoutOne) {
    const TestUser user = newUser("cli-prefs-new", {.lines = std::nullopt});
    ASSERT_TRUE(run({"prefs", user.email, "--lines", "test"}).ok());
    EXPECT_EQ(mustExec("SELECT array_to_string(lines, ',') FROM staff_shell_prefs WHERE "
                       "user_id = $1",
                       {user.id})
                  .value(0, 0),
              "test");
}

TEST_F(CommandLineTest, ReleaseConfigAndFloorWriteTheirTables) {
    // Channels, keys and platforms of this test only, so that no other test sees them.
    const std::string channel = "test-" + randomUuid().substr(0, 8);
    const CommandResult released = run({"release", "2.4.1", "--mandatory", "--notes",
                                        "Fixes 'ring' on wake", "--channel", channel});
    ASSERT_TRUE(released.ok()) << released.standardError;
    const PgResult release = mustExec(
        "SELECT version, mandatory::text, notes FROM app_releases WHERE channel = $1", {channel});
    ASSERT_EQ(release.rows.size(), 1u);
    EXPECT_EQ(release.rows[0], (PgRow{"2.4.1", "true", "Fixes 'ring' on wake"}));
    const CommandResult duplicate = run({"release", "2.4.1", "--channel", channel});
    EXPECT_NE(duplicate.exitCode, 0);
    EXPECT_NE(duplicate.standardError.find("published already"), std::string::npos);
    ASSERT_TRUE(run({"release", "2.5", "--channel", channel}).ok());
    EXPECT_EQ(mustExec("SELECT mandatory::text FROM app_releases WHERE channel = $1 AND version "
                       "= '2.5'",
                       {channel})
                  .value(0, 0),
              "false");

    const std::string key = "test-" + randomUuid().substr(0, 8);
    ASSERT_TRUE(run({"config", key, R"({"minutes": 5})"}).ok());
    ASSERT_TRUE(run({"config", key, R"({"minutes": 7})"}).ok());
    EXPECT_EQ(mustExec("SELECT value::text FROM shell_config WHERE key = $1", {key}).value(0, 0),
              R"({"minutes": 7})");
    mustExec("DELETE FROM shell_config WHERE key = $1", {key});

    const std::string platform = "test-" + randomUuid().substr(0, 8);
    ASSERT_TRUE(run({"floor", "1.2", "--platform", platform}).ok());
    ASSERT_TRUE(run({"floor", "1.3.0", "--platform", platform}).ok());
    EXPECT_EQ(mustExec("SELECT min_version FROM app_versions WHERE platform = $1", {platform})
                  .value(0, 0),
              "1.3.0");
}

TEST_F(CommandLineTest, UsersListsAccounts) {
    const TestUser user = newUser("cli-list", {.lines = "recruiting"});
    const CommandResult listed = run({"users"});
    ASSERT_TRUE(listed.ok()) << listed.standardError;
    EXPECT_NE(listed.standardOutput.find(user.email), std::string::npos);
    EXPECT_NE(listed.standardOutput.find("dispatch.lead@ostral.test"), std::string::npos);
}

TEST_F(CommandLineTest, BadArgumentsAreRefusedWithAMessage) {
    const std::string missingUser = "nobody-" + randomUuid().substr(0, 8) + "@ostral.test";
    const TestUser user = newUser("cli-bad");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const std::vector<Case> cases{
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"ring"}, "ring: expected LINE"},
        {{"ring", "recruiting", "test"}, "ring: expected LINE"},
        {{"ring", "recruiting", "--candidate", "C-42"}, "'C-42' is not a UUID"},
        {{"ring", "recruiting", "--card"}, "--card needs a value"},
        {{"ring", "recruiting", "--phone", "call me"}, "is not a phone number"},
        {{"ring", "recruiting", "--colour", "red"}, "unknown option '--colour'"},
        {{"ring", "bad line"}, "is not a line key"},
        {{"end"}, "end: expected CALL_ID"},
        {{"end", "12345"}, "'12345' is not a UUID"},
        {{"end", randomUuid()}, "end: no call"},
        {{"ack", randomUuid()}, "ack: expected CALL_ID EMAIL"},
        {{"ack", randomUuid(), user.email}, "ack: no call"},
        {{"ack", randomUuid(), missingUser}, "ack: no user"},
        {{"add-user", "not-an-email", "password1"}, "is not an email address"},
        {{"add-user", "short@ostral.test", "12345"}, "at least 6 characters"},
        {{"add-user", "x@ostral.test"}, "add-user: expected EMAIL PASSWORD"},
        {{"prefs", user.email, "--mode", "off"}, "--mode must follow --line"},
        {{"prefs", user.email, "--line", "test"}, "--line test needs a --mode"},
        {{"prefs", user.email, "--line", "test", "--mode", "loud"}, "'loud' is not one of ring"},
        {{"prefs", user.email, "--volume", "loud"}, "--volume must be a number"},
        {{"prefs", missingUser, "--volume", "0.5"}, "no user"},
        {{"config", "flags"}, "config: expected KEY VALUE"},
        {{"config", "flags", "{ring: false"}, "VALUE must be JSON"},
        {{"release", "v1.2"}, "'v1.2' is not a version"},
        {{"release", "1.2.3.4"}, "is not a version"},
        {{"floor", "1"}, "'1' is not a version"},
        {{"start", "--port", "70000"}, "--port must be a number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : std::string()));
        const CommandResult result = run(c.args);
        EXPECT_NE(result.exitCode, 0);
        EXPECT_NE(result.standardError.find(c.message), std::string::npos) << result.standardError;
        EXPECT_EQ(result.standardOutput, "");
    }
}

} // namespace
} // namespace ostral::devstack
