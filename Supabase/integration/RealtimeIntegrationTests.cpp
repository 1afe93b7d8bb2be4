#include "BackendFixture.h"

#include <Supabase/Client.h>
#include <Supabase/Realtime.h>
#include <Support/AsyncStream.h>
#include <Support/GObjectPtr.h>
#include <Support/MainContext.h>
#include <Support/Task.h>

#include <ServerProcess.h>
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostral::supabase::integration {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr const char* kPassword = "realtime-password";

template <typename T>
struct Collected {
    std::vector<T> items;
    bool finished = false;
};

template <typename T>
support::Task<void> collect(support::AsyncStream<T> stream, std::shared_ptr<Collected<T>> out) {
    while (auto item = co_await stream.next()) {
        out->items.push_back(std::move(*item));
    }
    out->finished = true;
}

// A TCP relay between the client and a server that a test can cut: every relayed connection is
// shut down at once, and while it is down, new connections are closed as soon as they arrive.
class CuttableProxy {
public:
    explicit CuttableProxy(int upstreamPort)
        : upstreamPort_(upstreamPort)
        , service_(g_socket_service_new(), support::kAdopt) {
        support::GObjectPtr<GInetAddress> loopback(
            g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4), support::kAdopt);
        support::GObjectPtr<GSocketAddress> address(g_inet_socket_address_new(loopback.get(), 0),
                                                    support::kAdopt);
        GSocketAddress* bound = nullptr;
        support::GErrorPtr error;
        if (!g_socket_listener_add_address(G_SOCKET_LISTENER(service_.get()), address.get(),
                                           G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr,
                                           &bound, error.out())) {
            ADD_FAILURE() << "proxy cannot listen: " << support::errorMessage(error);
            return;
        }
        port_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
        g_object_unref(bound);
        g_signal_connect(service_.get(), "incoming", G_CALLBACK(&CuttableProxy::onIncoming), this);
        g_socket_service_start(service_.get());
    }
    ~CuttableProxy() {
        g_signal_handlers_disconnect_by_data(service_.get(), this);
        g_socket_service_stop(service_.get());
        g_socket_listener_close(G_SOCKET_LISTENER(service_.get()));
        cut();
    }
    CuttableProxy(const CuttableProxy&) = delete;
    CuttableProxy& operator=(const CuttableProxy&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    void cut() {
        for (auto& link : links_) {
            g_cancellable_cancel(link.cancellable.get());
            for (GSocketConnection* side : {link.client.get(), link.server.get()}) {
                g_socket_shutdown(g_socket_connection_get_socket(side), TRUE, TRUE, nullptr);
            }
        }
        links_.clear();
    }
    bool down = false;

private:
    struct Link {
        support::GObjectPtr<GSocketConnection> client;
        support::GObjectPtr<GSocketConnection> server;
        support::GObjectPtr<GCancellable> cancellable;
    };

    static gboolean onIncoming(GSocketService*, GSocketConnection* connection, GObject*,
                               gpointer data) {
        auto* self = static_cast<CuttableProxy*>(data);
        if (self->down) {
            g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
            return TRUE;
        }
        support::GObjectPtr<GSocketClient> connector(g_socket_client_new(), support::kAdopt);
        support::GObjectPtr<GSocketConnection> upstream(
            g_socket_client_connect_to_host(connector.get(), "127.0.0.1",
                                            static_cast<guint16>(self->upstreamPort_), nullptr,
                                            nullptr),
            support::kAdopt);
        if (!upstream) {
            g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
            return TRUE;
        }
        Link link{support::retainGObject(connection), upstream,
                  support::adoptGObject(g_cancellable_new())};
        g_io_stream_splice_async(
            G_IO_STREAM(connection), G_IO_STREAM(upstream.get()),
            static_cast<GIOStreamSpliceFlags>(G_IO_STREAM_SPLICE_CLOSE_STREAM1 |
                                              G_IO_STREAM_SPLICE_CLOSE_STREAM2),
            G_PRIORITY_DEFAULT, link.cancellable.get(),
            [](GObject*, GAsyncResult* result, gpointer) {
                g_io_stream_splice_finish(result, nullptr);
            },
            nullptr);
        self->links_.push_back(std::move(link));
        return TRUE;
    }

    int upstreamPort_;
    int port_ = 0;
    support::GObjectPtr<GSocketService> service_;
    std::vector<Link> links_;
};

class RealtimeTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        userId_ = addUser("realtime", kPassword);
    }
    void TearDown() override {
        tasks_.clear();
        for (auto& client : clients_) {
            await(client->realtime().removeAllChannels(), 5s);
        }
    }

    // A client of the backend at `url`, signed in as the test's user, with quick reconnects.
    std::shared_ptr<Client> clientAt(const std::string& url,
                                     const std::string& label = "realtime") {
        ClientOptions options;
        options.auth.sessionStore = std::make_shared<MemorySessionStore>();
        options.realtime.reconnectDelay = 500ms;
        auto client = Client::create(url, anonKey_, options);
        const auto session = await(client->auth().signIn(emailOf(label), kPassword));
        EXPECT_TRUE(session && *session)
            << (session && !*session ? session->error().description() : "no answer");
        clients_.push_back(client);
        return client;
    }

    template <typename T>
    std::shared_ptr<Collected<T>> watch(support::AsyncStream<T> stream) {
        auto out = std::make_shared<Collected<T>>();
        tasks_.emplace_back(support::spawn(collect(std::move(stream), out)));
        return out;
    }

    static bool waitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = 15s) {
        return support::iterateUntil(condition, limit);
    }

    // Rings a call on the recruiting line; its id.
    std::string ring() {
        const auto out = devstack({"ring", "recruiting", "--caller-name", "Realtime " + runId_});
        std::string id = out.value_or("");
        return id.substr(id.find_last_of('\n') + 1);
    }

    static bool hasRecord(const Collected<PostgresChange>& changes, const std::string& id) {
        for (const auto& change : changes.items) {
            if (change.record.value("id", "") == id) {
                return true;
            }
        }
        return false;
    }

    // Whether the catch-up query finds the call ringing.
    static bool ringing(Client& client, const std::string& id) {
        const auto rows = await(client.rpc("live_calls_ringing"));
        EXPECT_TRUE(rows && *rows) << (rows && !*rows ? rows->error().description() : "");
        if (!rows || !*rows || !(*rows)->is_array()) {
            return false;
        }
        for (const auto& row : **rows) {
            if (row.value("id", "") == id) {
                return true;
            }
        }
        return false;
    }

    std::string userId_;
    std::vector<std::shared_ptr<Client>> clients_;
    std::vector<support::ScopedTask> tasks_;
};

TEST_F(RealtimeTest, InsertsAndUpdatesOfLiveCallsArriveAfterTheStatusSequence) {
    auto client = clientAt(url_);
    auto channel = client->channel("calls-" + runId_);
    auto inserts = watch(channel->postgresChange(PostgresAction::insert, "public", "live_calls"));
    auto updates = watch(channel->postgresChange(PostgresAction::update, "public", "live_calls"));
    auto statuses = watch(channel->statusChange());
    const auto joined = await(channel->subscribeWithError());
    ASSERT_TRUE(joined && *joined) << (joined && !*joined ? joined->error().description() : "");
    ASSERT_TRUE(waitFor([&] { return statuses->items.size() == 3; }));
    EXPECT_EQ(statuses->items,
              (std::vector<ChannelStatus>{ChannelStatus::unsubscribed, ChannelStatus::subscribing,
                                          ChannelStatus::subscribed}));

    const std::string callId = ring();
    ASSERT_FALSE(callId.empty());
    ASSERT_TRUE(waitFor([&] { return hasRecord(*inserts, callId); }));
    for (const auto& change : inserts->items) {
        if (change.record.value("id", "") == callId) {
            EXPECT_EQ(change.type, "INSERT");
            EXPECT_EQ(change.record.value("line", ""), "recruiting");
            EXPECT_TRUE(change.record.contains("created_at"));
            EXPECT_FALSE(change.commitTimestamp.empty());
        }
    }

    ASSERT_TRUE(devstack({"end", callId}));
    ASSERT_TRUE(waitFor([&] { return hasRecord(*updates, callId); }));
    for (const auto& change : updates->items) {
        if (change.record.value("id", "") == callId) {
            EXPECT_FALSE(change.record["ended_at"].is_null());
        }
    }

    await(client->removeChannel(channel));
    ASSERT_TRUE(waitFor([&] { return statuses->finished && inserts->finished; }));
    EXPECT_EQ(statuses->items.back(), ChannelStatus::unsubscribed);
}

TEST_F(RealtimeTest, AcknowledgementsAreFilteredOnTheUser) {
    addUser("other", kPassword);
    auto client = clientAt(url_);
    auto channel = client->channel("acks-" + runId_);
    auto acks = watch(channel->postgresChange(PostgresAction::insert, "public", "live_call_acks",
                                              "user_id=eq." + userId_));
    const auto joined = await(channel->subscribeWithError());
    ASSERT_TRUE(joined && *joined) << (joined && !*joined ? joined->error().description() : "");

    const std::string callId = ring();
    ASSERT_TRUE(devstack({"ack", callId, emailOf("other")}));
    ASSERT_TRUE(devstack({"ack", callId, emailOf("realtime")}));
    ASSERT_TRUE(waitFor([&] { return !acks->items.empty(); }));
    // The other user's acknowledgement was written first; it never comes.
    EXPECT_EQ(acks->items.front().record.value("user_id", ""), userId_);
    EXPECT_EQ(acks->items.front().record.value("call_id", ""), callId);
    support::iterateUntil([] { return false; }, 300ms);
    EXPECT_EQ(acks->items.size(), 1u);
}

TEST_F(RealtimeTest, SubscribedComesOnlyWhenTheFeedIsAttached) {
    devstack::ServerProcess server(*env_, {"--confirm-delay-ms", "1500"});
    ASSERT_TRUE(server.start()) << server.error();
    auto client = clientAt(server.url());
    auto channel = client->channel("confirm-" + runId_);
    auto inserts = watch(channel->postgresChange(PostgresAction::insert, "public", "live_calls"));
    auto statuses = watch(channel->statusChange());
    std::optional<Result<void>> joined;
    tasks_.emplace_back(support::spawn(captureInto(channel->subscribeWithError(), joined)));
    ASSERT_TRUE(waitFor([&] { return channel->status() == ChannelStatus::subscribing; }));
    support::iterateUntil([] { return false; }, 700ms);
    EXPECT_EQ(channel->status(), ChannelStatus::subscribing);

    // A call that starts while the channel joins: the catch-up at `subscribed` must see it.
    const std::string early = ring();
    EXPECT_NE(channel->status(), ChannelStatus::subscribed);
    ASSERT_TRUE(waitFor([&] { return joined.has_value(); }));
    ASSERT_TRUE(*joined) << joined->error().description();
    EXPECT_TRUE(ringing(*client, early) || hasRecord(*inserts, early));

    const std::string later = ring();
    EXPECT_TRUE(waitFor([&] { return hasRecord(*inserts, later); }));
}

TEST_F(RealtimeTest, RecoversAfterTheServerRestartsWithoutLosingARingingCall) {
    devstack::ServerProcess server(*env_);
    ASSERT_TRUE(server.start()) << server.error();
    auto client = clientAt(server.url());
    auto channel = client->channel("restart-" + runId_);
    auto inserts = watch(channel->postgresChange(PostgresAction::insert, "public", "live_calls"));
    auto statuses = watch(channel->statusChange());
    const auto joined = await(channel->subscribeWithError());
    ASSERT_TRUE(joined && *joined) << (joined && !*joined ? joined->error().description() : "");

    ASSERT_TRUE(server.stop());
    ASSERT_TRUE(waitFor([&] { return channel->status() != ChannelStatus::subscribed; }));
    const std::string missed = ring();
    ASSERT_TRUE(server.start()) << server.error();

    ASSERT_TRUE(waitFor([&] { return channel->status() == ChannelStatus::subscribed; }, 30s));
    EXPECT_TRUE(ringing(*client, missed));
    const std::string after = ring();
    EXPECT_TRUE(waitFor([&] { return hasRecord(*inserts, after); }));
    ASSERT_GE(statuses->items.size(), 5u);
    EXPECT_EQ(statuses->items[3], ChannelStatus::unsubscribed);
    EXPECT_EQ(statuses->items.back(), ChannelStatus::subscribed);
}

TEST_F(RealtimeTest, RecoversAfterTheConnectionIsCutWithoutLosingARingingCall) {
    const int port = std::stoi(url_.substr(url_.find_last_of(':') + 1));
    CuttableProxy proxy(port);
    auto client = clientAt(proxy.url());
    auto channel = client->channel("cut-" + runId_);
    auto inserts = watch(channel->postgresChange(PostgresAction::insert, "public", "live_calls"));
    const auto joined = await(channel->subscribeWithError());
    ASSERT_TRUE(joined && *joined) << (joined && !*joined ? joined->error().description() : "");
    const std::string before = ring();
    ASSERT_TRUE(waitFor([&] { return hasRecord(*inserts, before); }));

    proxy.down = true;
    proxy.cut();
    ASSERT_TRUE(waitFor([&] { return channel->status() != ChannelStatus::subscribed; }));
    const std::string missed = ring();
    support::iterateUntil([] { return false; }, 1500ms);
    EXPECT_NE(channel->status(), ChannelStatus::subscribed);
    proxy.down = false;

    ASSERT_TRUE(waitFor([&] { return channel->status() == ChannelStatus::subscribed; }, 30s));
    EXPECT_TRUE(ringing(*client, missed));
    const std::string after = ring();
    EXPECT_TRUE(waitFor([&] { return hasRecord(*inserts, after); }));
}

} // namespace
} // namespace ostral::supabase::integration
