#include <OstralKit/OstralConfig.h>
#include <OstralKit/OstralSupabase.h>

#include <gtest/gtest.h>

#include <chrono>

namespace ostral {
namespace {

using std::chrono::seconds;

TEST(OstralSupabase, ShellOptions) {
    const supabase::ClientOptions options = OstralSupabase::clientOptions(false);
    EXPECT_NE(options.auth.sessionStore, nullptr);
    EXPECT_EQ(options.auth.storageKey, OstralConfig::sessionStorageKey());
    EXPECT_FALSE(options.auth.autoRefreshToken);
    EXPECT_FALSE(options.auth.emitLocalSessionAsInitialSession);
    EXPECT_EQ(options.realtime.heartbeatInterval, seconds(25));
    EXPECT_EQ(options.realtime.reconnectDelay, seconds(7));
    EXPECT_EQ(options.realtime.timeoutInterval, seconds(10));
    EXPECT_EQ(options.realtime.disconnectOnEmptyChannelsAfter, seconds(50));
    EXPECT_EQ(options.realtime.maxRetryAttempts, 5);
    EXPECT_TRUE(options.realtime.connectOnSubscribe);
    EXPECT_TRUE(options.realtime.disconnectOnSessionLoss);
}

TEST(OstralSupabase, ClientUsesTheBuildsBackend) {
    auto client = OstralSupabase::makeClient(false);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->url(), OstralConfig::backendURL().text());
    EXPECT_EQ(client->anonKey(), OstralConfig::anonKey());
}

} // namespace
} // namespace ostral
