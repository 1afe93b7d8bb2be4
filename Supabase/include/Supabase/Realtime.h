#pragma once

#include <Supabase/Error.h>
#include <Support/AsyncStream.h>
#include <Support/Clock.h>
#include <Support/GObjectPtr.h>
#include <Support/Log.h>
#include <Support/Promise.h>
#include <Support/Task.h>
#include <Support/Timer.h>
#include <Support/TimerSource.h>

#include <libsoup/soup.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Realtime: Phoenix channels over one WebSocket per client, carrying Postgres change events.
//
//     auto channel = client.channel("calls-42");
//     auto inserts = channel->postgresChange(PostgresAction::insert, "public", "live_calls", {});
//     auto statuses = channel->statusChange();
//     Result<void> joined = co_await channel->subscribeWithError();
//     while (auto change = co_await inserts.next()) { ... }
//
// Everything runs on the main thread. Listeners are added before subscribing. A channel reports
// `subscribed` only once the server has confirmed that the change feed is attached, so a caller
// that reads the table when it sees `subscribed` cannot miss a row inserted while it joined.
namespace ostral::supabase {

namespace detail {
class PhoenixSocket;
}

// Which change events a listener receives.
enum class PostgresAction { insert, update, del, all };

// "INSERT", "UPDATE", "DELETE" or "*", as the server names them.
std::string_view postgresActionName(PostgresAction action);

// One change to a row, as the server reported it.
struct PostgresChange {
    // "INSERT", "UPDATE" or "DELETE".
    std::string type;
    // The new row (column name to JSON value); an empty object for DELETE.
    nlohmann::json record = nlohmann::json::object();
    // The old row (often only its primary key); an empty object for INSERT.
    nlohmann::json oldRecord = nlohmann::json::object();
    // [{"name": ..., "type": ...}] as the server sent it; an empty array when absent.
    nlohmann::json columns = nlohmann::json::array();
    // "YYYY-MM-DDTHH:MM:SS.mmmZ".
    std::string commitTimestamp;
    // Problems the server reports with this event, e.g. "Error 413: Payload Too Large" when the
    // records were cut down to their primary keys.
    std::vector<std::string> errors;

    bool operator==(const PostgresChange&) const = default;
};

enum class ChannelStatus { unsubscribed, subscribing, subscribed, unsubscribing };

std::string_view channelStatusName(ChannelStatus status);

struct RealtimeOptions {
    // A heartbeat goes out every interval; one still unanswered at the next tick closes the
    // connection, which is then reopened.
    std::chrono::milliseconds heartbeatInterval = std::chrono::seconds(25);
    // The first reconnect waits this long; later ones double it, up to 30 seconds.
    std::chrono::milliseconds reconnectDelay = std::chrono::seconds(7);
    // How long one subscribe attempt, a leave or a connection attempt may take.
    std::chrono::milliseconds timeoutInterval = std::chrono::seconds(10);
    // The connection closes this long after the last channel was removed (0: at once).
    std::chrono::milliseconds disconnectOnEmptyChannelsAfter = std::chrono::seconds(50);
    // Subscribe attempts per subscribeWithError() call (and per rejoin after a reconnect).
    int maxRetryAttempts = 5;
    // Whether subscribing opens the connection when it is closed.
    bool connectOnSubscribe = true;
    // Read by the owner of the client: disconnect when the auth session ends.
    bool disconnectOnSessionLoss = true;

    bool operator==(const RealtimeOptions&) const = default;
};

// One channel: a topic "realtime:<name>" with its Postgres change listeners. Created by
// RealtimeClient::channel(); lives until RealtimeClient::removeChannel(), which finishes its
// streams.
class RealtimeChannel : public std::enable_shared_from_this<RealtimeChannel> {
public:
    ~RealtimeChannel();
    RealtimeChannel(const RealtimeChannel&) = delete;
    RealtimeChannel& operator=(const RealtimeChannel&) = delete;

    const std::string& topic() const noexcept { return topic_; }

    // A listener for changes of `table` in `schema` of the given kind, optionally filtered
    // ("user_id=eq.<uuid>"). Add listeners before subscribing: one added while the channel is
    // joined or joining is refused (logged) and gets a finished stream.
    support::AsyncStream<PostgresChange> postgresChange(PostgresAction action, std::string schema,
                                                        std::string table,
                                                        std::optional<std::string> filter = {});

    // The current status first, then every change.
    support::AsyncStream<ChannelStatus> statusChange();
    ChannelStatus status() const noexcept { return status_; }

    // Joins the channel (opening the connection when needed) and resolves once it is subscribed,
    // or with the last error once every attempt has failed. Already subscribed: succeeds at once.
    // A call while a join is under way waits for that join.
    support::Task<Result<void>> subscribeWithError();

    // Leaves the channel and waits for the server's answer (or the timeout).
    support::Task<void> unsubscribe();

private:
    friend class detail::PhoenixSocket;
    friend class RealtimeClient;

    struct Binding {
        PostgresAction action = PostgresAction::all;
        std::string schema;
        std::string table;
        std::optional<std::string> filter;
        // Assigned by the server's join reply.
        std::optional<std::int64_t> serverId;
        support::AsyncStream<PostgresChange> stream;
    };

    struct PrivateTag {};

public:
    RealtimeChannel(PrivateTag, std::string topic, std::weak_ptr<detail::PhoenixSocket> socket);

private:
    // Called by the socket.
    void socketOpened();
    void socketClosed(bool byUser);
    void handleMessage(const std::optional<std::string>& joinRef,
                       const std::optional<std::string>& ref, const std::string& event,
                       const nlohmann::json& payload);
    void pushAccessToken(const std::string& token);
    // Ends the channel for good: status unsubscribed, streams finished, waiters released.
    void close();

    void setStatus(ChannelStatus status);
    void startJoining(std::chrono::milliseconds delay, bool rejoin);
    void endJoining(const Error& error);
    void sendJoin();
    void sendLeaveAndForget();
    void finishAttempt(Result<void> outcome);
    void handleJoinReply(const nlohmann::json& payload);
    void handleSystem(const nlohmann::json& payload);
    void handleChange(const nlohmann::json& payload);
    void serverClosed(bool rejoin);
    bool attemptInFlight() const noexcept;

    support::Task<void> joinWithRetries(support::Promise<Result<void>> done,
                                        std::chrono::milliseconds delay);
    static support::Task<Result<void>> subscribeTask(std::shared_ptr<RealtimeChannel> self);
    static support::Task<void> unsubscribeTask(std::shared_ptr<RealtimeChannel> self);

    std::string topic_;
    std::weak_ptr<detail::PhoenixSocket> socket_;
    support::Logger log_{support::kAppSubsystem, "realtime"};
    std::vector<Binding> bindings_;
    std::vector<support::AsyncStream<ChannelStatus>> statusStreams_;
    ChannelStatus status_ = ChannelStatus::unsubscribed;
    bool closed_ = false;
    // Whether the channel should be joined: set by subscribing, cleared by leaving, by a server
    // close and by running out of attempts. A reconnect rejoins only such channels.
    bool wantsJoin_ = false;
    bool loggedBadChange_ = false;
    // Whether the join loop under way is a rejoin of the channel's own accord rather than a
    // subscribeWithError() call; a rejoin ends with the connection and starts again with the
    // next one.
    bool rejoining_ = false;

    // The join loop and its outcome, which subscribeWithError() callers await; present while
    // the loop runs.
    support::ScopedTask joinTask_;
    std::optional<support::Promise<Result<void>>> joinDone_;
    // The attempt under way: its outcome, whether its phx_join went out and whether the server
    // accepted it and the confirmation of the change feed is awaited.
    std::optional<support::Promise<Result<void>>> attempt_;
    bool attemptSent_ = false;
    bool awaitingConfirmation_ = false;
    // The ref of the phx_join the server knows this channel by, and the token it carried.
    std::optional<std::string> joinRef_;
    std::optional<std::string> joinToken_;

    // The leave under way.
    std::optional<support::Promise<bool>> leaveDone_;
    std::optional<std::string> leaveRef_;
};

// The Realtime connection of one backend client. Channels share one WebSocket, opened on the
// first subscribe (or connect()) and reopened after a loss with back-off; subscribed channels
// rejoin after every reopening.
class RealtimeClient {
public:
    // `baseUrl` is the backend's http(s)://host[:port]; the WebSocket goes to
    // <ws(s)://host:port>/realtime/v1/websocket?apikey=<apiKey>&vsn=2.0.0. Without `session` the
    // client makes its own SoupSession.
    RealtimeClient(std::string baseUrl, std::string apiKey, RealtimeOptions options,
                   support::TimerSource& timers, const support::Clock& clock,
                   support::GObjectPtr<SoupSession> session = {});
    ~RealtimeClient();
    RealtimeClient(const RealtimeClient&) = delete;
    RealtimeClient& operator=(const RealtimeClient&) = delete;

    // The channel on topic "realtime:<name>"; the existing one when that topic is open already.
    // Creating a channel cancels a pending disconnect of an empty client.
    std::shared_ptr<RealtimeChannel> channel(std::string name);
    // Unsubscribes the channel, forgets it and finishes its streams. With no channel left, the
    // connection closes after disconnectOnEmptyChannelsAfter.
    support::Task<void> removeChannel(std::shared_ptr<RealtimeChannel> channel);
    // Removes every channel and closes the connection at once.
    support::Task<void> removeAllChannels();
    std::vector<std::shared_ptr<RealtimeChannel>> channels() const;

    // Stores the user's access token, sent with every join. When it changed, joined channels
    // receive it at once. nullopt forgets it and sends nothing.
    void setAuth(std::optional<std::string> accessToken);
    std::optional<std::string> accessToken() const;

    // Opens the connection unless it is open or opening.
    void connect();
    // Closes the connection and stops reconnecting; channels keep their listeners and go to
    // unsubscribed (subscribing again reconnects).
    void disconnect();
    bool isConnected() const;

    const RealtimeOptions& options() const;
    // The WebSocket URL this client connects to.
    std::string websocketUrl() const;

private:
    static support::Task<void> removeChannelTask(std::weak_ptr<detail::PhoenixSocket> socket,
                                                 std::shared_ptr<RealtimeChannel> channel);

    std::shared_ptr<detail::PhoenixSocket> socket_;
};

} // namespace ostral::supabase
