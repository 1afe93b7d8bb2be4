#include "BackendFixture.h"

#include <Supabase/Client.h>
#include <Supabase/Responses.h>

#include <gtest/gtest.h>

namespace ostral::supabase::integration {
namespace {

constexpr const char* kPassword = "integration-password";

support::Task<void> follow(support::AsyncStream<AuthStateChange> stream,
                           std::vector<AuthStateChange>& changes) {
    while (auto change = co_await stream.next()) {
        changes.push_back(*change);
    }
}

using AuthTest = BackendTest;

TEST_F(AuthTest, SignInAcceptsTheRightPasswordOnly) {
    const std::string id = addUser("signin", kPassword);
    auto client = makeClient();

    const auto wrong = await(client->auth().signIn(emailOf("signin"), "not the password"));
    ASSERT_TRUE(wrong && !*wrong);
    EXPECT_EQ(wrong->error().kind, Error::Kind::api);
    EXPECT_EQ(wrong->error().status, 400u);
    EXPECT_EQ(wrong->error().code, "invalid_credentials");
    EXPECT_FALSE(client->auth().currentSession());

    const auto right = await(client->auth().signIn(emailOf("signin"), kPassword));
    ASSERT_TRUE(right && *right) << right->error().description();
    EXPECT_EQ((*right)->user.id, id);
    EXPECT_EQ((*right)->user.email, emailOf("signin"));
    EXPECT_EQ(jwtExpiry((*right)->accessToken), (*right)->expiresAt);
    EXPECT_EQ(client->auth().currentSession(), right->value());
}

TEST_F(AuthTest, AStoredSessionComesBackInTheNextClient) {
    addUser("restart", kPassword);
    const auto store = std::make_shared<MemorySessionStore>();
    std::optional<Session> first;
    {
        auto client = makeClient(store);
        const auto session = await(client->auth().signIn(emailOf("restart"), kPassword));
        ASSERT_TRUE(session && *session);
        first = session->value();
    }

    auto relaunched = makeClient(store);
    std::vector<AuthStateChange> changes;
    const support::ScopedTask follower =
        support::spawn(follow(relaunched->auth().authStateChanges(), changes));
    support::iterateUntil([&] { return changes.size() >= 2; }, std::chrono::seconds(15));

    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].event, AuthChangeEvent::tokenRefreshed);
    EXPECT_EQ(changes[1].event, AuthChangeEvent::initialSession);
    ASSERT_TRUE(changes[1].session);
    EXPECT_EQ(changes[1].session->user.id, first->user.id);
    EXPECT_NE(changes[1].session->refreshToken, first->refreshToken) << "refresh tokens rotate";
    EXPECT_EQ(relaunched->auth().currentSession(), changes[1].session);
}

TEST_F(AuthTest, RefreshAdoptionAndSignOut) {
    addUser("cycle", kPassword);
    auto client = signedIn(emailOf("cycle"), kPassword);
    const Session original = *client->auth().currentSession();

    const auto refreshed = await(client->auth().refreshSession());
    ASSERT_TRUE(refreshed && *refreshed) << refreshed->error().description();
    EXPECT_NE((*refreshed)->refreshToken, original.refreshToken);
    EXPECT_EQ((*refreshed)->user.id, original.user.id);

    // Another desk of the same user hands over a newer pair.
    auto other = signedIn(emailOf("cycle"), kPassword);
    const Session offered = *other->auth().currentSession();
    const auto adopted =
        await(client->auth().setSession(offered.accessToken, offered.refreshToken));
    ASSERT_TRUE(adopted && *adopted) << adopted->error().description();
    EXPECT_EQ((*adopted)->accessToken, offered.accessToken);
    EXPECT_EQ((*adopted)->user.id, original.user.id);

    const auto outcome = await(client->auth().signOut());
    ASSERT_TRUE(outcome && *outcome) << outcome->error().description();
    EXPECT_FALSE(client->auth().currentSession());
    const auto afterwards = await(client->auth().session());
    EXPECT_EQ(afterwards->error().kind, Error::Kind::sessionMissing);

    // Signing out ended that session at the server too: its refresh token is dead.
    const auto dead = await(other->auth().refreshSession(offered.refreshToken));
    ASSERT_TRUE(dead && !*dead);
    EXPECT_TRUE(isRefreshTokenRejected(dead->error())) << dead->error().description();
}

} // namespace
} // namespace ostral::supabase::integration
