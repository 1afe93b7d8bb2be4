#include "BackendFixture.h"

#include <Supabase/Client.h>

#include <glib.h>
#include <gtest/gtest.h>

namespace ostral::supabase::integration {
namespace {

constexpr const char* kPassword = "integration-password";

class RestTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        userId_ = addUser("rest", kPassword);
        client_ = signedIn(emailOf("rest"), kPassword);
    }

    std::string userId_;
    std::shared_ptr<Client> client_;
};

TEST_F(RestTest, SelectWithFiltersAndSingleRows) {
    const auto rows =
        await(client_->from("profiles").select("id, portal_role").eq("id", userId_).execute());
    ASSERT_TRUE(rows && *rows) << rows->error().description();
    ASSERT_TRUE((*rows)->is_array());
    ASSERT_EQ((*rows)->size(), 1u);
    EXPECT_EQ((**rows)[0]["id"], userId_);

    // The profile read of the session controller passes the id in upper case.
    std::string upper = userId_;
    for (char& c : upper) {
        c = static_cast<char>(g_ascii_toupper(c));
    }
    const auto one =
        await(client_->from("profiles").select("portal_role").eq("id", upper).single().execute());
    ASSERT_TRUE(one && *one) << one->error().description();
    EXPECT_TRUE((*one)->is_object());
    EXPECT_TRUE((*one)->contains("portal_role"));

    const auto none = await(client_->from("profiles")
                                .select("portal_role")
                                .eq("id", "00000000-0000-0000-0000-000000000000")
                                .single()
                                .execute());
    ASSERT_TRUE(none && !*none);
    EXPECT_EQ(none->error().status, 406u);
    EXPECT_EQ(none->error().code, "PGRST116");

    for (const char* desk : {"desk-a", "desk-b"}) {
        const auto upserted =
            await(client_->from("staff_presence")
                      .upsert({{"user_id", userId_}, {"client", desk}, {"status", "online"}},
                              "user_id,client")
                      .execute());
        ASSERT_TRUE(upserted && *upserted) << upserted->error().description();
    }
    const auto two = await(
        client_->from("staff_presence").select("client").eq("user_id", userId_).single().execute());
    ASSERT_TRUE(two && !*two);
    EXPECT_EQ(two->error().status, 406u);
    EXPECT_EQ(two->error().code, "PGRST116");

    const auto empty = await(
        client_->from("staff_presence").select("client").eq("client", "no-such-desk").execute());
    ASSERT_TRUE(empty && *empty);
    EXPECT_EQ(**empty, nlohmann::json::array());
}

TEST_F(RestTest, UpsertMergesOnTheConflictColumns) {
    for (const char* status : {"receiving", "away"}) {
        const auto upserted =
            await(client_->from("staff_presence")
                      .upsert({{"user_id", userId_}, {"client", "linux"}, {"status", status}},
                              "user_id,client")
                      .execute());
        ASSERT_TRUE(upserted && *upserted) << upserted->error().description();
    }
    const auto rows =
        await(client_->from("staff_presence").select("status").eq("user_id", userId_).execute());
    ASSERT_TRUE(rows && *rows);
    EXPECT_EQ(**rows, nlohmann::json::parse(R"([{"status":"away"}])"));
}

TEST_F(RestTest, UpdateReturnsTheChangedRows) {
    // The account may or may not come with a preferences row; make sure there is one.
    const auto upserted = await(
        client_->from("staff_shell_prefs").upsert({{"user_id", userId_}}, "user_id").execute());
    ASSERT_TRUE(upserted && *upserted) << upserted->error().description();

    const auto changed = await(client_->from("staff_shell_prefs")
                                   .update({{"ring_volume", 0.25}})
                                   .eq("user_id", userId_)
                                   .select("user_id")
                                   .execute());
    ASSERT_TRUE(changed && *changed) << changed->error().description();
    EXPECT_EQ((*changed)->size(), 1u);

    const auto unchanged = await(client_->from("staff_shell_prefs")
                                     .update({{"ring_volume", 0.5}})
                                     .eq("user_id", "00000000-0000-0000-0000-000000000000")
                                     .select("user_id")
                                     .execute());
    ASSERT_TRUE(unchanged && *unchanged);
    EXPECT_EQ((*unchanged)->size(), 0u);

    const auto read = await(
        client_->from("staff_shell_prefs").select("ring_volume").eq("user_id", userId_).execute());
    EXPECT_EQ((**read)[0]["ring_volume"], 0.25);
}

TEST_F(RestTest, RowLevelSecurityKeepsOthersPrefsOut) {
    ASSERT_TRUE(
        await(
            client_->from("staff_shell_prefs").upsert({{"user_id", userId_}}, "user_id").execute())
            ->hasValue());
    addUser("intruder", kPassword);
    auto intruder = signedIn(emailOf("intruder"), kPassword);

    const auto seen = await(
        intruder->from("staff_shell_prefs").select("user_id").eq("user_id", userId_).execute());
    ASSERT_TRUE(seen && *seen) << seen->error().description();
    EXPECT_EQ(**seen, nlohmann::json::array());

    const auto changed = await(intruder->from("staff_shell_prefs")
                                   .update({{"ring_volume", 1.0}})
                                   .eq("user_id", userId_)
                                   .select("user_id")
                                   .execute());
    ASSERT_TRUE(changed && *changed);
    EXPECT_EQ((*changed)->size(), 0u);

    auto anonymous = makeClient();
    const auto anonymousRows =
        await(anonymous->from("staff_shell_prefs").select("user_id").execute());
    ASSERT_TRUE(anonymousRows);
    if (*anonymousRows) {
        EXPECT_EQ(**anonymousRows, nlohmann::json::array());
    }
}

TEST_F(RestTest, ASecondAcknowledgementIsADuplicate) {
    const auto call = devstack({"ring", "dispatch", "--phone", "+15550100"});
    ASSERT_TRUE(call);
    const std::string callId = call->substr(call->find_last_of('\n') + 1);

    const auto first =
        await(client_->from("live_call_acks").insert({{"call_id", callId}}).execute());
    ASSERT_TRUE(first && *first) << first->error().description();
    EXPECT_EQ(**first, nullptr) << "nothing asked back";

    const auto second =
        await(client_->from("live_call_acks").insert({{"call_id", callId}}).execute());
    ASSERT_TRUE(second && !*second);
    EXPECT_EQ(second->error().code, "23505");
    EXPECT_EQ(second->error().status, 409u);
}

TEST_F(RestTest, DatabaseFunctionsWithAndWithoutParameters) {
    const auto call = devstack({"ring", "dispatch", "--phone", "+15550101"});
    ASSERT_TRUE(call);
    const std::string callId = call->substr(call->find_last_of('\n') + 1);

    const auto ringing = await(client_->rpc("live_calls_ringing"));
    ASSERT_TRUE(ringing && *ringing) << ringing->error().description();
    ASSERT_TRUE((*ringing)->is_array());
    bool found = false;
    for (const auto& row : **ringing) {
        found = found || row.value("id", "") == callId;
    }
    EXPECT_TRUE(found);

    const auto context = await(client_->rpc("call_context", nlohmann::json{{"p_call_id", callId}}));
    ASSERT_TRUE(context && *context) << context->error().description();
    ASSERT_TRUE((*context)->contains("fields"));
    EXPECT_FALSE((**context)["fields"].empty());

    const auto missing = await(client_->rpc("no_such_function"));
    ASSERT_TRUE(missing && !*missing);
    EXPECT_EQ(missing->error().status, 404u);
}

} // namespace
} // namespace ostral::supabase::integration
