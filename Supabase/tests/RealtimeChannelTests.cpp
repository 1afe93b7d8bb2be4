#include "RealtimeFakeServer.h"

#include <Supabase/Realtime.h>
#include <Supabase/RealtimeProtocol.h>
#include <Support/AsyncStream.h>
#include <Support/Log.h>
#include <Support/MainContext.h>
#include <Support/Task.h>
#include <Support/VirtualTime.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostral::supabase {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
using support::AsyncStream;
using support::Task;

template <typename T>
struct Collected {
    std::vector<T> items;
    bool finished = false;
};

template <typename T>
Task<void> collect(AsyncStream<T> stream, std::shared_ptr<Collected<T>> out) {
    while (auto item = co_await stream.next()) {
        out->items.push_back(std::move(*item));
    }
    out->finished = true;
}

Task<void> subscribeInto(std::shared_ptr<RealtimeChannel> channel,
                         std::shared_ptr<std::optional<Result<void>>> out) {
    Result<void> result = co_await channel->subscribeWithError();
    *out = std::move(result);
}

Task<void> runInto(Task<void> task, std::shared_ptr<bool> done) {
    co_await std::move(task);
    *done = true;
}

class RealtimeChannelTest : public ::testing::Test {
protected:
    void SetUp() override { makeClient({}); }

    void makeClient(RealtimeOptions options) {
        client_ =
            std::make_unique<RealtimeClient>(server_.baseUrl(), "anon-key", options, time_, time_);
    }

    bool pump(const std::function<bool()>& condition) {
        return support::iterateUntil(condition, 5s);
    }

    template <typename T>
    std::shared_ptr<Collected<T>> watch(AsyncStream<T> stream) {
        auto out = std::make_shared<Collected<T>>();
        tasks_.emplace_back(support::spawn(collect(std::move(stream), out)));
        return out;
    }

    std::shared_ptr<std::optional<Result<void>>>
    subscribe(const std::shared_ptr<RealtimeChannel>& channel) {
        auto out = std::make_shared<std::optional<Result<void>>>();
        tasks_.emplace_back(support::spawn(subscribeInto(channel, out)));
        return out;
    }

    std::shared_ptr<bool> run(Task<void> task) {
        auto done = std::make_shared<bool>(false);
        tasks_.emplace_back(support::spawn(runInto(std::move(task), done)));
        return done;
    }

    // Subscribes the channel through the whole handshake and returns its join.
    PhoenixMessage subscribeFully(const std::shared_ptr<RealtimeChannel>& channel) {
        auto result = subscribe(channel);
        auto join = server_.next("phx_join", channel->topic());
        EXPECT_TRUE(join);
        server_.replyJoinOk(*join);
        server_.confirm(channel->topic());
        EXPECT_TRUE(pump([&] { return result->has_value(); }));
        EXPECT_TRUE(result->has_value() && result->value().hasValue());
        return join.value_or(PhoenixMessage{});
    }

    // Lets the client and the server exchange what is under way.
    void settle() {
        support::iterateUntil([] { return false; }, 50ms);
    }

    support::ThreadDefaultContext context_;
    support::VirtualTime time_;
    testing::FakePhoenixServer server_;
    std::unique_ptr<RealtimeClient> client_;
    std::vector<support::ScopedTask> tasks_;
};

TEST_F(RealtimeChannelTest, ConnectsOnTheFirstSubscribeAndJoinsWithTheListeners) {
    client_->setAuth("user-jwt");
    auto channel = client_->channel("calls-1");
    EXPECT_EQ(channel->topic(), "realtime:calls-1");
    EXPECT_EQ(client_->channel("calls-1"), channel);
    channel->postgresChange(PostgresAction::insert, "public", "live_calls");
    channel->postgresChange(PostgresAction::all, "public", "staff_shell_prefs", "user_id=eq.u");
    settle();
    EXPECT_TRUE(server_.connections.empty());

    subscribe(channel);
    auto join = server_.next("phx_join");
    ASSERT_TRUE(join);
    ASSERT_EQ(server_.connections.size(), 1u);
    EXPECT_EQ(server_.connections[0]->query, "apikey=anon-key&vsn=2.0.0");
    EXPECT_EQ(server_.connections[0]->apiKeyHeader, "anon-key");
    EXPECT_EQ(join->topic, "realtime:calls-1");
    ASSERT_TRUE(join->ref);
    EXPECT_EQ(join->joinRef, join->ref);
    EXPECT_EQ(
        join->payload,
        realtimeJoinPayload({{PostgresAction::insert, "public", "live_calls", std::nullopt},
                             {PostgresAction::all, "public", "staff_shell_prefs", "user_id=eq.u"}},
                            std::string("user-jwt")));
}

TEST_F(RealtimeChannelTest, IsSubscribedOnlyOnceTheChangeFeedIsConfirmed) {
    auto channel = client_->channel("calls-2");
    auto inserts = watch(channel->postgresChange(PostgresAction::insert, "public", "live_calls"));
    auto statuses = watch(channel->statusChange());
    auto result = subscribe(channel);
    auto join = server_.next("phx_join");
    ASSERT_TRUE(join);
    server_.replyJoinOk(*join);
    // An event after the reply shows the reply was read; the channel still waits.
    const Json event = {{"ids", {100}}, {"data", {{"type", "INSERT"}, {"record", {{"id", "a"}}}}}};
    server_.send({std::nullopt, std::nullopt, channel->topic(), "postgres_changes", event});
    ASSERT_TRUE(pump([&] { return inserts->items.size() == 1; }));
    EXPECT_EQ(channel->status(), ChannelStatus::subscribing);
    EXPECT_FALSE(result->has_value());

    server_.confirm(channel->topic());
    ASSERT_TRUE(pump([&] { return result->has_value(); }));
    EXPECT_TRUE(result->value().hasValue());
    EXPECT_EQ(channel->status(), ChannelStatus::subscribed);
    EXPECT_EQ(statuses->items,
              (std::vector<ChannelStatus>{ChannelStatus::unsubscribed, ChannelStatus::subscribing,
                                          ChannelStatus::subscribed}));
}

TEST_F(RealtimeChannelTest, AChannelWithoutListenersIsSubscribedOnTheReply) {
    auto channel = client_->channel("plain");
    auto result = subscribe(channel);
    auto join = server_.next("phx_join");
    ASSERT_TRUE(join);
    server_.replyJoinOk(*join);
    ASSERT_TRUE(pump([&] { return result->has_value(); }));
    EXPECT_TRUE(result->value().hasValue());
    EXPECT_EQ(channel->status(), ChannelStatus::subscribed);
}

TEST_F(RealtimeChannelTest, EventsReachTheListenersWhoseIdsAndKindMatch) {
    auto channel = client_->channel("calls-3");
    auto inserts = watch(channel->postgresChange(PostgresAction::insert, "public", "live_calls"));
    auto updates = watch(channel->postgresChange(PostgresAction::update, "public", "live_calls"));
    auto prefs = watch(channel->postgresChange(PostgresAction::all, "public", "staff_shell_prefs",
                                               "user_id=eq.u"));
    subscribeFully(channel);

    support::LogCapture log;
    auto event = [&](Json ids, const char* type, const char* id) {
        Json data = {{"type", type}, {"commit_timestamp", "2026-12-11T10:00:00.000Z"}};
        data["record"] = {{"id", id}};
        const Json payload = {{"ids", std::move(ids)}, {"data", std::move(data)}};
        server_.send({std::nullopt, std::nullopt, channel->topic(), "postgres_changes", payload});
    };
    event({100, 101}, "INSERT", "both-ids-insert");
    event({101}, "UPDATE", "update");
    event({102}, "DELETE", "prefs-delete");
    event({999}, "INSERT", "unknown-id");
    server_.sendText(R"([null,null,"realtime:calls-3","postgres_changes",{"ids":"x"}])");
    server_.sendText(R"([null,null,"realtime:calls-3","postgres_changes",{"data":{}}])");
    server_.sendText("not a frame");
    server_.sendText("[1,2]");
    server_.sendText("[3,4]");
    event({102}, "UPDATE", "prefs-update");
    ASSERT_TRUE(pump([&] { return prefs->items.size() == 2; }));

    ASSERT_EQ(inserts->items.size(), 1u);
    EXPECT_EQ(inserts->items[0].record["id"], "both-ids-insert");
    EXPECT_EQ(inserts->items[0].commitTimestamp, "2026-12-11T10:00:00.000Z");
    ASSERT_EQ(updates->items.size(), 1u);
    EXPECT_EQ(updates->items[0].record["id"], "update");
    EXPECT_EQ(prefs->items[0].type, "DELETE");
    EXPECT_EQ(prefs->items[1].record["id"], "prefs-update");

    auto count = [&](std::string_view text) {
        int n = 0;
        for (const auto& message : log.messages()) {
            n += message.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    };
    EXPECT_EQ(count("malformed change event"), 1);
    EXPECT_EQ(count("frame dropped: not JSON"), 1);
    EXPECT_EQ(count("frame dropped: not a frame"), 1);
}

TEST_F(RealtimeChannelTest, ListenersAddedAfterSubscribingAreRefused) {
    auto channel = client_->channel("late");
    subscribeFully(channel);
    auto late = channel->postgresChange(PostgresAction::insert, "public", "live_calls");
    EXPECT_TRUE(late.isFinished());
}

TEST_F(RealtimeChannelTest, AnErrorReplyIsRetriedUntilTheAttemptsRunOut) {
    RealtimeOptions options;
    options.maxRetryAttempts = 3;
    makeClient(options);
    auto channel = client_->channel("refused");
    auto statuses = watch(channel->statusChange());
    auto result = subscribe(channel);
    std::vector<std::string> joinRefs;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        auto join = server_.next("phx_join");
        ASSERT_TRUE(join) << attempt;
        joinRefs.push_back(join->joinRef.value_or(""));
        server_.replyJoinError(*join, "Unauthorized: You do not have permissions to read");
        ASSERT_TRUE(pump([&] { return time_.pendingTimers() > 0 || result->has_value(); }));
        if (attempt < 3) {
            EXPECT_EQ(channel->status(), ChannelStatus::subscribing);
            // 1 s, then 2 s, each spread by a quarter either way.
            time_.advance(attempt == 1 ? 700ms : 1400ms);
            settle();
            EXPECT_EQ(server_.count("phx_join"), static_cast<std::size_t>(attempt));
            time_.advance(attempt == 1 ? 600ms : 1200ms);
        }
    }
    ASSERT_TRUE(pump([&] { return result->has_value(); }));
    ASSERT_FALSE(result->value().hasValue());
    EXPECT_EQ(result->value().error().kind, Error::Kind::api);
    EXPECT_EQ(result->value().error().code, "Unauthorized");
    EXPECT_EQ(result->value().error().message, "Unauthorized: You do not have permissions to read");
    EXPECT_EQ(channel->status(), ChannelStatus::unsubscribed);
    EXPECT_EQ(statuses->items.back(), ChannelStatus::unsubscribed);
    EXPECT_NE(joinRefs[0], joinRefs[1]);
    EXPECT_NE(joinRefs[1], joinRefs[2]);
    // A refused join is not left.
    EXPECT_EQ(server_.count("phx_leave"), 0u);
}

TEST_F(RealtimeChannelTest, ATimedOutAttemptIsLeftAndRetried) {
    auto channel = client_->channel("slow");
    channel->postgresChange(PostgresAction::insert, "public", "live_calls");
    auto result = subscribe(channel);
    auto first = server_.next("phx_join");
    ASSERT_TRUE(first);
    server_.replyJoinOk(*first);
    settle();
    // The reply came, the confirmation does not: the attempt times out after 10 s.
    time_.advance(9900ms);
    settle();
    EXPECT_EQ(server_.count("phx_leave"), 0u);
    time_.advance(100ms);
    auto leave = server_.next("phx_leave");
    ASSERT_TRUE(leave);
    EXPECT_EQ(leave->joinRef, first->joinRef);
    EXPECT_EQ(channel->status(), ChannelStatus::subscribing);

    time_.advance(1300ms);
    auto second = server_.next("phx_join");
    ASSERT_TRUE(second);
    EXPECT_NE(second->joinRef, first->joinRef);
    // A confirmation meant for the first join cannot complete the second before its reply.
    server_.confirm(channel->topic());
    settle();
    EXPECT_EQ(channel->status(), ChannelStatus::subscribing);
    server_.replyJoinOk(*second);
    server_.confirm(channel->topic());
    ASSERT_TRUE(pump([&] { return result->has_value(); }));
    EXPECT_TRUE(result->value().hasValue());
}

TEST_F(RealtimeChannelTest, AnUnansweredHeartbeatReconnectsAndRejoins) {
    auto channel = client_->channel("calls-4");
    auto statuses = watch(channel->statusChange());
    const PhoenixMessage firstJoin = subscribeFully(channel);

    // Answered heartbeats keep the connection.
    for (int beat = 1; beat <= 3; ++beat) {
        time_.advance(25s);
        ASSERT_TRUE(server_.next("heartbeat", "phoenix"));
        settle();
    }
    EXPECT_EQ(server_.connections.size(), 1u);

    server_.answerHeartbeats = false;
    time_.advance(25s);
    auto beat = server_.next("heartbeat", "phoenix");
    ASSERT_TRUE(beat);
    EXPECT_EQ(beat->joinRef, std::nullopt);
    time_.advance(25s);
    EXPECT_EQ(channel->status(), ChannelStatus::unsubscribed);
    EXPECT_FALSE(client_->isConnected());
    ASSERT_TRUE(pump([&] { return server_.openConnections() == 0; }));

    server_.answerHeartbeats = true;
    time_.advance(7s);
    auto rejoin = server_.next("phx_join");
    ASSERT_TRUE(rejoin);
    EXPECT_EQ(server_.connections.size(), 2u);
    EXPECT_NE(rejoin->joinRef, firstJoin.joinRef);
    EXPECT_EQ(channel->status(), ChannelStatus::subscribing);
    server_.replyJoinOk(*rejoin);
    server_.confirm(channel->topic());
    ASSERT_TRUE(pump([&] { return channel->status() == ChannelStatus::subscribed; }));
    ASSERT_TRUE(pump([&] { return statuses->items.size() == 6; }));
    EXPECT_EQ(statuses->items,
              (std::vector<ChannelStatus>{ChannelStatus::unsubscribed, ChannelStatus::subscribing,
                                          ChannelStatus::subscribed, ChannelStatus::unsubscribed,
                                          ChannelStatus::subscribing, ChannelStatus::subscribed}));
}

TEST_F(RealtimeChannelTest, ReconnectsBackOffAndEveryJoinedChannelRejoins) {
    auto first = client_->channel("one");
    auto second = client_->channel("two");
    subscribeFully(first);
    subscribeFully(second);
    const int handshakesBefore = server_.handshakes;

    server_.refuseHandshakes = true;
    server_.closeCurrent(1001);
    ASSERT_TRUE(pump([&] { return !client_->isConnected(); }));
    EXPECT_EQ(first->status(), ChannelStatus::unsubscribed);
    EXPECT_EQ(second->status(), ChannelStatus::unsubscribed);

    // 7, 14, 28, then 30 s between attempts.
    int expected = handshakesBefore;
    for (auto delay : {7s, 14s, 28s, 30s, 30s}) {
        time_.advance(delay - 100ms);
        settle();
        EXPECT_EQ(server_.handshakes, expected) << delay.count();
        time_.advance(100ms);
        ++expected;
        EXPECT_TRUE(pump([&] { return server_.handshakes == expected; })) << delay.count();
        settle();
    }

    server_.refuseHandshakes = false;
    time_.advance(30s);
    auto join1 = server_.next("phx_join", first->topic());
    auto join2 = server_.next("phx_join", second->topic());
    ASSERT_TRUE(join1 && join2);
    for (const auto& join : {*join1, *join2}) {
        server_.replyJoinOk(join);
        server_.confirm(join.topic);
    }
    ASSERT_TRUE(pump([&] {
        return first->status() == ChannelStatus::subscribed &&
               second->status() == ChannelStatus::subscribed;
    }));

    // After a successful connection the back-off starts again from 7 s.
    server_.closeCurrent(1001);
    ASSERT_TRUE(pump([&] { return !client_->isConnected(); }));
    const int before = server_.handshakes;
    time_.advance(7s);
    EXPECT_TRUE(pump([&] { return server_.handshakes == before + 1; }));
}

TEST_F(RealtimeChannelTest, AClosingCodeFrom4000To4999IsNotRetried) {
    auto channel = client_->channel("drained");
    subscribeFully(channel);
    const int before = server_.handshakes;
    server_.closeCurrent(4001);
    ASSERT_TRUE(pump([&] { return !client_->isConnected(); }));
    time_.advance(120s);
    settle();
    EXPECT_EQ(server_.handshakes, before);
    EXPECT_EQ(channel->status(), ChannelStatus::unsubscribed);
}

TEST_F(RealtimeChannelTest, ServerClosingsWithTheCurrentJoinRefEndTheChannel) {
    auto channel = client_->channel("closing");
    const PhoenixMessage join = subscribeFully(channel);
    auto statusOf = [&](const char* event, const std::optional<std::string>& joinRef) {
        server_.send({joinRef, joinRef, channel->topic(), event, Json::object()});
        server_.send({std::nullopt,
                      std::nullopt,
                      channel->topic(),
                      "system",
                      {{"extension", "system"}, {"status", "ok"}}});
        settle();
        return channel->status();
    };
    EXPECT_EQ(statusOf("phx_close", std::string("9999")), ChannelStatus::subscribed);
    EXPECT_EQ(statusOf("phx_error", std::string("9999")), ChannelStatus::subscribed);
    EXPECT_EQ(statusOf("phx_close", join.joinRef), ChannelStatus::unsubscribed);
    // Closed by the server: no rejoin.
    time_.advance(30s);
    settle();
    EXPECT_EQ(server_.count("phx_join"), 1u);
}

TEST_F(RealtimeChannelTest, AChannelErrorRejoins) {
    auto channel = client_->channel("crashing");
    const PhoenixMessage join = subscribeFully(channel);
    server_.send({join.joinRef, join.joinRef, channel->topic(), "phx_error", Json::object()});
    ASSERT_TRUE(pump([&] { return channel->status() == ChannelStatus::unsubscribed; }));
    time_.advance(1s);
    auto rejoin = server_.next("phx_join");
    ASSERT_TRUE(rejoin);
    server_.replyJoinOk(*rejoin);
    ASSERT_TRUE(pump([&] { return channel->status() == ChannelStatus::subscribed; }));
}

TEST_F(RealtimeChannelTest, ASystemErrorUnsubscribesAndLeaves) {
    auto channel = client_->channel("expiring");
    channel->postgresChange(PostgresAction::insert, "public", "live_calls");
    const PhoenixMessage join = subscribeFully(channel);
    server_.send({std::nullopt,
                  std::nullopt,
                  channel->topic(),
                  "system",
                  {{"extension", "system"},
                   {"status", "error"},
                   {"message", "Token has expired 5 seconds ago"}}});
    auto leave = server_.next("phx_leave");
    ASSERT_TRUE(leave);
    EXPECT_EQ(leave->joinRef, join.joinRef);
    EXPECT_EQ(channel->status(), ChannelStatus::unsubscribed);
}

TEST_F(RealtimeChannelTest, SetAuthSendsAChangedTokenToJoinedChannels) {
    client_->setAuth("first");
    auto joined = client_->channel("joined");
    const PhoenixMessage join = subscribeFully(joined);
    EXPECT_EQ(join.payload["access_token"], "first");
    auto idle = client_->channel("idle");

    client_->setAuth("second");
    auto push = server_.next("access_token");
    ASSERT_TRUE(push);
    EXPECT_EQ(push->topic, joined->topic());
    EXPECT_EQ(push->joinRef, join.joinRef);
    EXPECT_EQ(push->payload, (Json{{"access_token", "second"}}));

    client_->setAuth("second");
    client_->setAuth(std::nullopt);
    settle();
    EXPECT_EQ(server_.count("access_token"), 1u);
    EXPECT_EQ(client_->accessToken(), std::nullopt);

    subscribe(idle);
    auto idleJoin = server_.next("phx_join", idle->topic());
    ASSERT_TRUE(idleJoin);
    EXPECT_FALSE(idleJoin->payload.contains("access_token"));
}

TEST_F(RealtimeChannelTest, ATokenChangedDuringTheJoinIsSentOnceSubscribed) {
    client_->setAuth("first");
    auto channel = client_->channel("joining");
    auto result = subscribe(channel);
    auto join = server_.next("phx_join");
    ASSERT_TRUE(join);
    client_->setAuth("second");
    settle();
    EXPECT_EQ(server_.count("access_token"), 0u);
    server_.replyJoinOk(*join);
    auto push = server_.next("access_token");
    ASSERT_TRUE(push);
    EXPECT_EQ(push->joinRef, join->joinRef);
    EXPECT_EQ(push->payload, (Json{{"access_token", "second"}}));
}

TEST_F(RealtimeChannelTest, UnsubscribeLeavesAndWaitsForTheAnswerOrTheTimeout) {
    auto channel = client_->channel("leaving");
    const PhoenixMessage join = subscribeFully(channel);
    auto done = run(channel->unsubscribe());
    auto leave = server_.next("phx_leave");
    ASSERT_TRUE(leave);
    EXPECT_EQ(leave->joinRef, join.joinRef);
    EXPECT_EQ(channel->status(), ChannelStatus::unsubscribing);
    EXPECT_FALSE(*done);
    server_.reply(*leave, {{"status", "ok"}, {"response", Json::object()}});
    ASSERT_TRUE(pump([&] { return *done; }));
    EXPECT_EQ(channel->status(), ChannelStatus::unsubscribed);

    // Joined again, the server says nothing this time.
    subscribeFully(channel);
    auto silent = run(channel->unsubscribe());
    ASSERT_TRUE(server_.next("phx_leave"));
    time_.advance(9s);
    settle();
    EXPECT_FALSE(*silent);
    time_.advance(1s);
    ASSERT_TRUE(pump([&] { return *silent; }));
    EXPECT_EQ(channel->status(), ChannelStatus::unsubscribed);
}

TEST_F(RealtimeChannelTest, RemovingAChannelFinishesItsStreamsAndTheEmptyClientDisconnects) {
    auto channel = client_->channel("removed");
    auto inserts = watch(channel->postgresChange(PostgresAction::insert, "public", "live_calls"));
    auto statuses = watch(channel->statusChange());
    subscribeFully(channel);

    auto removed = run(client_->removeChannel(channel));
    auto leave = server_.next("phx_leave");
    ASSERT_TRUE(leave);
    server_.reply(*leave, {{"status", "ok"}, {"response", Json::object()}});
    ASSERT_TRUE(pump([&] { return *removed && inserts->finished && statuses->finished; }));
    EXPECT_EQ(statuses->items.back(), ChannelStatus::unsubscribed);
    EXPECT_TRUE(client_->channels().empty());

    // A channel created within the grace period keeps the connection.
    time_.advance(49s);
    auto next = client_->channel("next");
    time_.advance(10s);
    settle();
    EXPECT_TRUE(client_->isConnected());

    auto removedNext = run(client_->removeChannel(next));
    ASSERT_TRUE(pump([&] { return *removedNext; }));
    time_.advance(49s);
    settle();
    EXPECT_TRUE(client_->isConnected());
    time_.advance(1s);
    EXPECT_FALSE(client_->isConnected());
    ASSERT_TRUE(pump([&] { return server_.openConnections() == 0; }));
}

TEST_F(RealtimeChannelTest, RemovingAllChannelsDisconnectsAtOnce) {
    auto first = client_->channel("a");
    auto second = client_->channel("b");
    auto firstStatuses = watch(first->statusChange());
    subscribeFully(first);
    auto removed = run(client_->removeAllChannels());
    auto leave = server_.next("phx_leave");
    ASSERT_TRUE(leave);
    server_.reply(*leave, {{"status", "ok"}, {"response", Json::object()}});
    ASSERT_TRUE(pump([&] { return *removed; }));
    EXPECT_FALSE(client_->isConnected());
    EXPECT_TRUE(client_->channels().empty());
    ASSERT_TRUE(pump([&] { return firstStatuses->finished; }));
}

TEST_F(RealtimeChannelTest, DisconnectEndsAJoinUnderWayAndConnectRejoins) {
    auto joined = client_->channel("joined");
    subscribeFully(joined);
    auto pending = client_->channel("pending");
    auto result = subscribe(pending);
    ASSERT_TRUE(server_.next("phx_join", pending->topic()));

    client_->disconnect();
    ASSERT_TRUE(pump([&] { return result->has_value(); }));
    EXPECT_EQ(result->value().error().kind, Error::Kind::cancelled);
    EXPECT_EQ(joined->status(), ChannelStatus::unsubscribed);
    time_.advance(60s);
    settle();
    EXPECT_EQ(server_.openConnections(), 0u);

    client_->connect();
    auto rejoin = server_.next("phx_join", joined->topic());
    ASSERT_TRUE(rejoin);
}

} // namespace
} // namespace ostral::supabase
