#include "BackendFixture.h"

#include <chrono>
#include <regex>

namespace ostral::devstack {
namespace {

using nlohmann::json;

// Listens on the feed's channel with a connection of its own, and changes rows through the
// fixture's connection.
class ChangeFeedTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        listener.emplace(env);
        ASSERT_TRUE(listener->isOpen()) << listener->error();
        ASSERT_TRUE(listener->exec("LISTEN ostral_realtime").ok());
    }

    // The next change of `table` whose record or old record has `key` = `value`. Other tests
    // change other rows at the same time, so those are skipped.
    std::optional<json> nextChange(const std::string& table, const std::string& key,
                                   const std::string& value) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            auto notification = listener->waitForNotification(std::chrono::milliseconds(500));
            if (!notification) {
                continue;
            }
            EXPECT_EQ(notification->channel, "ostral_realtime");
            EXPECT_LE(notification->payload.size(), 7900u);
            json change = json::parse(notification->payload, nullptr, false);
            EXPECT_FALSE(change.is_discarded()) << notification->payload;
            if (change.is_discarded() || change.value("table", "") != table) {
                continue;
            }
            for (const char* side : {"record", "old_record"}) {
                if (change.contains(side) && change[side].value(key, "") == value) {
                    return change;
                }
            }
        }
        return std::nullopt;
    }

    std::optional<PgConnection> listener;
};

TEST_F(ChangeFeedTest, InsertUpdateAndDeleteCarryTheWholeRows) {
    const std::regex commitTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

    const std::string id = insertCall(", candidate_name", ", 'Jordan Ellis'");
    auto inserted = nextChange("live_calls", "id", id);
    ASSERT_TRUE(inserted);
    EXPECT_EQ((*inserted)["schema"], "public");
    EXPECT_EQ((*inserted)["type"], "INSERT");
    EXPECT_TRUE(std::regex_match((*inserted)["commit_timestamp"].get<std::string>(), commitTime))
        << (*inserted)["commit_timestamp"];
    EXPECT_FALSE(inserted->contains("old_record"));
    EXPECT_FALSE(inserted->contains("errors"));
    EXPECT_EQ((*inserted)["record"]["candidate_name"], "Jordan Ellis");
    EXPECT_TRUE((*inserted)["record"]["ended_at"].is_null());

    mustExec("UPDATE live_calls SET ended_at = now() WHERE id = $1", {id});
    auto updated = nextChange("live_calls", "id", id);
    ASSERT_TRUE(updated);
    EXPECT_EQ((*updated)["type"], "UPDATE");
    EXPECT_TRUE((*updated)["record"]["ended_at"].is_string());
    EXPECT_TRUE((*updated)["old_record"]["ended_at"].is_null());
    EXPECT_EQ((*updated)["old_record"]["candidate_name"], "Jordan Ellis");

    mustExec("DELETE FROM live_calls WHERE id = $1", {id});
    auto deleted = nextChange("live_calls", "id", id);
    ASSERT_TRUE(deleted);
    EXPECT_EQ((*deleted)["type"], "DELETE");
    EXPECT_FALSE(deleted->contains("record"));
    EXPECT_EQ((*deleted)["old_record"]["candidate_name"], "Jordan Ellis");
}

TEST_F(ChangeFeedTest, EveryFeedTableReportsItsChanges) {
    const TestUser user = newUser("feed", {.portalRole = "dispatcher", .lines = "recruiting"});
    const std::string call = insertCall();
    const std::string key = "devstack-test-" + randomUuid();
    const std::string channel = "devstack-test-" + randomUuid();
    struct Case {
        std::string table;
        std::string sql;
        std::vector<std::optional<std::string>> params;
        std::string key;
        std::string value;
    };
    const std::vector<Case> cases{
        {"live_call_acks",
         "INSERT INTO live_call_acks (call_id, user_id) VALUES ($1, $2)",
         {call, user.id},
         "call_id",
         call},
        {"shell_config",
         "INSERT INTO shell_config (key, value) VALUES ($1, '{}')",
         {key},
         "key",
         key},
        {"staff_shell_prefs",
         "UPDATE staff_shell_prefs SET line_modes = '{\"recruiting\": \"off\"}' WHERE user_id = $1",
         {user.id},
         "user_id",
         user.id},
        {"app_releases",
         "INSERT INTO app_releases (channel, version) VALUES ($1, '1.0.0')",
         {channel},
         "channel",
         channel},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        mustExec(c.sql, c.params);
        EXPECT_TRUE(nextChange(c.table, c.key, c.value));
    }
    mustExec("DELETE FROM shell_config WHERE key = $1", {key});
}

TEST_F(ChangeFeedTest, AnOversizedChangeCarriesOnlyThePrimaryKey) {
    const std::string longNumber(9000, '5');
    const std::string id = mustExec("INSERT INTO live_calls (line, caller_number) VALUES "
                                    "('devstack-test', $1) RETURNING id",
                                    {longNumber})
                               .value(0, 0)
                               .value_or("");
    auto inserted = nextChange("live_calls", "id", id);
    ASSERT_TRUE(inserted);
    EXPECT_EQ((*inserted)["record"], json({{"id", id}}));
    EXPECT_EQ((*inserted)["errors"], json::array({"Error 413: Payload Too Large"}));

    mustExec("UPDATE live_calls SET ended_at = now() WHERE id = $1", {id});
    auto updated = nextChange("live_calls", "id", id);
    ASSERT_TRUE(updated);
    EXPECT_EQ((*updated)["record"], json({{"id", id}}));
    EXPECT_EQ((*updated)["old_record"], json({{"id", id}}));
    EXPECT_EQ((*updated)["errors"], json::array({"Error 413: Payload Too Large"}));
}

TEST_F(ChangeFeedTest, AChangeJustUnderTheLimitIsSentWhole) {
    // Measure the payload of a call with a short number the way the trigger does (its jsonb
    // text), then ring a call whose number brings the payload close under the limit. The
    // margin covers timestamps whose fractions differ in length.
    const std::string probe = insertCall();
    const std::size_t probeBytes =
        std::stoul(mustExec("SELECT octet_length(jsonb_build_object('schema', 'public', 'table', "
                            "'live_calls', 'type', 'INSERT', 'commit_timestamp', "
                            "'2024-01-01T00:00:00.000Z', 'record', to_jsonb(c))::text) FROM "
                            "live_calls c WHERE id = $1",
                            {probe})
                       .value(0, 0)
                       .value_or("0"));
    ASSERT_GT(probeBytes, 0u);
    const std::size_t numberBytes = std::string("+15555550100").size() + 7900 - probeBytes - 16;
    const std::string id = mustExec("INSERT INTO live_calls (line, caller_number) VALUES "
                                    "('devstack-test', $1) RETURNING id",
                                    {std::string(numberBytes, '7')})
                               .value(0, 0)
                               .value_or("");
    auto whole = nextChange("live_calls", "id", id);
    ASSERT_TRUE(whole);
    EXPECT_FALSE(whole->contains("errors"));
    EXPECT_EQ((*whole)["record"]["caller_number"].get<std::string>().size(), numberBytes);
}

} // namespace
} // namespace ostral::devstack
