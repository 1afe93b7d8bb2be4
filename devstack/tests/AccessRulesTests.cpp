#include "BackendFixture.h"

#include <cctype>
#include <vector>

namespace ostral::devstack {
namespace {

constexpr const char* kRlsViolation = "42501";

// Two staff members and one account without a portal role, each with a preference row,
// an acknowledgement and a presence row of their own.
class AccessRulesTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        alice = newUser("rls-alice", {.portalRole = "dispatcher", .lines = "recruiting,test"});
        bob = newUser("rls-bob", {.portalRole = "recruiter", .lines = "recruiting"});
        outsider = newUser("rls-outsider", {.portalRole = std::nullopt, .lines = std::nullopt});
        callId = insertCall();
        for (const TestUser* user : {&alice, &bob}) {
            mustExec("INSERT INTO live_call_acks (call_id, user_id) VALUES ($1, $2)",
                     {callId, user->id});
            mustExec("INSERT INTO staff_presence (user_id, client, status) VALUES ($1, 'mac', "
                     "'online')",
                     {user->id});
        }
    }

    void TearDown() override {
        if (pg) {
            pg->resetRole();
        }
    }

    // Runs `sql` as the given staff member, the way the server runs their request.
    PgResult as(const TestUser& user, std::string_view sql,
                const std::vector<std::optional<std::string>>& params = {}) {
        EXPECT_TRUE(pg->actAs("authenticated", user.id).ok());
        PgResult result = pg->exec(sql, params);
        pg->resetRole();
        return result;
    }

    TestUser alice;
    TestUser bob;
    TestUser outsider;
    std::string callId;
};

TEST_F(AccessRulesTest, StaffReadOnlyTheirOwnRows) {
    struct Case {
        const char* name;
        const char* sql;
    };
    const std::vector<Case> cases{
        {"prefs", "SELECT user_id::text FROM staff_shell_prefs WHERE user_id IN ($1, $2)"},
        {"acks", "SELECT user_id::text FROM live_call_acks WHERE user_id IN ($1, $2)"},
        {"presence", "SELECT user_id::text FROM staff_presence WHERE user_id IN ($1, $2)"},
        {"profile", "SELECT id::text FROM profiles WHERE id IN ($1, $2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PgResult result = as(alice, c.sql, {alice.id, bob.id});
        ASSERT_TRUE(result.ok()) << result.error;
        ASSERT_EQ(result.rows.size(), 1u);
        EXPECT_EQ(result.value(0, 0), alice.id);
    }
}

TEST_F(AccessRulesTest, StaffCannotWriteAnotherStaffMembersRows) {
    struct Case {
        const char* name;
        const char* sql;
        std::vector<std::optional<std::string>> params;
        const char* sqlState; // "" when the write is refused by matching no row
    };
    const std::vector<Case> cases{
        {"prefs update",
         "UPDATE staff_shell_prefs SET ring_volume = 0.1 WHERE user_id = $1",
         {bob.id},
         ""},
        {"ack for someone else",
         "INSERT INTO live_call_acks (call_id, user_id) VALUES ($1, $2)",
         {insertCall(), bob.id},
         kRlsViolation},
        {"presence for someone else",
         "INSERT INTO staff_presence (user_id, client, status) VALUES ($1, 'linux', 'away')",
         {bob.id},
         kRlsViolation},
        {"presence update",
         "UPDATE staff_presence SET status = 'away' WHERE user_id = $1",
         {bob.id},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PgResult result = as(alice, c.sql, c.params);
        EXPECT_EQ(result.sqlState, c.sqlState) << result.error;
    }
    const PgResult bobPrefs =
        mustExec("SELECT ring_volume FROM staff_shell_prefs WHERE user_id = $1", {bob.id});
    EXPECT_EQ(bobPrefs.value(0, 0), std::nullopt);
    const PgResult bobPresence =
        mustExec("SELECT status FROM staff_presence WHERE user_id = $1", {bob.id});
    EXPECT_EQ(bobPresence.value(0, 0), "online");
}

TEST_F(AccessRulesTest, StaffWriteTheirOwnPrefsPresenceAndAcks) {
    const PgResult prefs = as(alice,
                              "UPDATE staff_shell_prefs SET line_modes = '{\"test\": \"off\"}', "
                              "ring_volume = 0.4, ring_device = 'alsa:hw0', updated_at = "
                              "'2025-03-01T14:05:09Z' WHERE user_id = $1 RETURNING user_id::text",
                              {alice.id});
    ASSERT_TRUE(prefs.ok()) << prefs.error;
    EXPECT_EQ(prefs.value(0, 0), alice.id);

    // The presence reporter's upsert on (user_id, client), twice: insert, then merge.
    for (const char* status : {"receiving", "away"}) {
        const PgResult presence =
            as(alice,
               "INSERT INTO staff_presence (user_id, client, status, lines, app_version) "
               "VALUES ($1, 'mac', $2, '{Recruiting}', '0.1.0') ON CONFLICT (user_id, client) DO "
               "UPDATE SET user_id = excluded.user_id, client = excluded.client, status = "
               "excluded.status, lines = excluded.lines, app_version = excluded.app_version",
               {alice.id, status});
        ASSERT_TRUE(presence.ok()) << presence.error;
    }
    EXPECT_EQ(
        mustExec("SELECT status FROM staff_presence WHERE user_id = $1", {alice.id}).value(0, 0),
        "away");

    // The desk sends only the call id; the user comes from the token.
    const std::string otherCall = insertCall();
    const PgResult ack = as(alice, "INSERT INTO live_call_acks (call_id) VALUES ($1)", {otherCall});
    ASSERT_TRUE(ack.ok()) << ack.error;
    EXPECT_EQ(mustExec("SELECT user_id::text FROM live_call_acks WHERE call_id = $1", {otherCall})
                  .value(0, 0),
              alice.id);
}

TEST_F(AccessRulesTest, ASecondAckOfTheSameCallIsAUniqueViolation) {
    const std::string call = insertCall();
    ASSERT_TRUE(as(bob, "INSERT INTO live_call_acks (call_id) VALUES ($1)", {call}).ok());
    const PgResult again = as(bob, "INSERT INTO live_call_acks (call_id) VALUES ($1)", {call});
    EXPECT_EQ(again.sqlState, "23505") << again.error;
    // Another staff member's acknowledgement of the same call is no duplicate.
    EXPECT_TRUE(as(alice, "INSERT INTO live_call_acks (call_id) VALUES ($1)", {call}).ok());
}

TEST_F(AccessRulesTest, OnlyTheCompanyWritesSharedTables) {
    struct Case {
        const char* sql;
        std::vector<std::optional<std::string>> params;
    };
    const std::vector<Case> cases{
        {"INSERT INTO live_calls (line, caller_number) VALUES ('test', '+15555550100')", {}},
        {"UPDATE live_calls SET ended_at = now() WHERE id = $1", {callId}},
        {"INSERT INTO shell_config (key, value) VALUES ('flags', '{}')", {}},
        {"UPDATE shell_config SET value = '{}' WHERE key = 'flags'", {}},
        {"INSERT INTO app_versions (platform, min_version) VALUES ('linux', '9.9.9')", {}},
        {"INSERT INTO app_releases (channel, version) VALUES ('macos', '9.9.9')", {}},
        {"UPDATE profiles SET portal_role = 'admin' WHERE id = $1", {alice.id}},
        // The lines a staff member answers are assigned to them.
        {"UPDATE staff_shell_prefs SET lines = '{recruiting,maintenance}' WHERE user_id = $1",
         {alice.id}},
        {"DELETE FROM live_call_acks WHERE user_id = $1", {alice.id}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        const PgResult result = as(alice, c.sql, c.params);
        EXPECT_EQ(result.sqlState, kRlsViolation) << result.error;
    }
}

TEST_F(AccessRulesTest, SharedTablesAreReadByStaffOnly) {
    const std::vector<const char*> reads{
        "SELECT count(*) FROM live_calls WHERE id = $1",
        "SELECT count(*) FROM shell_config WHERE key = 'lines' AND $1::uuid IS NOT NULL",
        "SELECT count(*) FROM app_versions WHERE platform = 'macos' AND $1::uuid IS NOT NULL",
        "SELECT count(*) FROM app_releases WHERE version = '0.1.0' AND $1::uuid IS NOT NULL",
        "SELECT count(*) FROM live_calls_ringing() WHERE id = $1",
    };
    for (const char* sql : reads) {
        SCOPED_TRACE(sql);
        EXPECT_EQ(as(alice, sql, {callId}).value(0, 0), "1");
        // Signed in, but without a portal role: not staff.
        EXPECT_EQ(as(outsider, sql, {callId}).value(0, 0), "0");
    }

    ASSERT_TRUE(pg->actAs("anon").ok());
    const PgResult anonymous = pg->exec("SELECT count(*) FROM live_calls");
    pg->resetRole();
    EXPECT_EQ(anonymous.sqlState, kRlsViolation) << anonymous.error;

    ASSERT_TRUE(pg->actAs("service_role").ok());
    const PgResult service = pg->exec(
        "SELECT count(*) FROM staff_shell_prefs WHERE user_id IN ($1, $2)", {alice.id, bob.id});
    pg->resetRole();
    EXPECT_EQ(service.value(0, 0), "2") << service.error;
}

TEST_F(AccessRulesTest, TheProfileReadCarriesThePortalRole) {
    // The sign-in check reads one profile by an upper-case id.
    std::string upper = alice.id;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const PgResult own = as(alice, "SELECT portal_role FROM profiles WHERE id = $1", {upper});
    ASSERT_EQ(own.rows.size(), 1u) << own.error;
    EXPECT_EQ(own.value(0, 0), "dispatcher");

    const PgResult none =
        as(outsider, "SELECT portal_role FROM profiles WHERE id = $1", {outsider.id});
    ASSERT_EQ(none.rows.size(), 1u) << none.error;
    EXPECT_EQ(none.value(0, 0), std::nullopt);
}

} // namespace
} // namespace ostral::devstack
