#pragma once

#include "Outcome.h"
#include "RealtimeCatalog.h"
#include "RealtimeChange.h"
#include "RealtimeFrame.h"
#include "RealtimeJoin.h"

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace ostral::devstack {

// Whom a channel acts for: a verified token and what the database needs of it.
struct RealtimeClaims {
    std::string token;
    std::string role;
    std::int64_t exp = 0;
    nlohmann::json claims = nlohmann::json::object();
};

enum class RealtimeTokenProblem { invalid, expired, missingClaims };

struct RealtimeTokenError {
    RealtimeTokenProblem problem;
    std::string message; // "Token has expired 12 seconds ago", "signature is invalid", ...
};

// Verifies an HS256 token signed with `secret` at `nowUnix`; Realtime also insists on the
// `role` and `exp` claims.
Outcome<RealtimeClaims, RealtimeTokenError>
verifyRealtimeToken(std::string_view token, std::string_view secret, std::int64_t nowUnix);

// What a session needs from its owner. Every hook is called synchronously.
struct RealtimeSessionHooks {
    std::function<void(const std::string& frame)> send;
    std::function<std::int64_t()> nowUnix;
    // A channel was joined and answered; the owner calls RealtimeSession::confirm(topic, serial)
    // when the subscription may start (at once, or after the confirmation delay).
    std::function<void(const std::string& topic, std::uint64_t serial)> joined;
    // Row level security: whether the channel's user may read the row with these primary-key
    // values (text, in key order) in `table`.
    std::function<bool(const RealtimeClaims& claims, const RealtimeTable& table,
                       const std::vector<std::string>& key)>
        rowVisible;
    std::function<void(const std::string& line)> log;
};

// The Phoenix protocol of one WebSocket: its joined channels, their subscriptions and tokens,
// and the messages it answers. It does no I/O of its own; the owner feeds it frames and
// changes and carries what it sends.
class RealtimeSession {
public:
    RealtimeSession(RealtimeVsn vsn, RealtimeClaims apiKey, std::string jwtSecret,
                    const RealtimeCatalog& catalog, RealtimeSessionHooks hooks);

    // One text frame from the client.
    void receive(std::string_view text);

    // Registers a joined channel's subscriptions with the change feed and tells the client so
    // ("Subscribed to PostgreSQL"). Does nothing when the channel has since left or rejoined.
    void confirm(const std::string& topic, std::uint64_t serial);

    // Sends `change` to every confirmed channel that subscribed to it and whose user may read
    // the row. Channels whose token has expired are closed first.
    void deliver(const RealtimeChange& change);

    // Closes the channels whose token has expired, each with a system error and phx_close.
    void closeExpiredChannels();

    std::size_t channelCount() const { return channels_.size(); }
    RealtimeVsn vsn() const { return vsn_; }

private:
    struct Channel {
        std::string name; // the topic after "realtime:"
        std::optional<std::string> joinRef;
        RealtimeClaims claims;
        std::vector<RealtimeSubscription> subscriptions;
        std::uint64_t serial = 0;
        bool confirmed = false;
    };

    void handle(const PhoenixMessage& message);
    void join(const PhoenixMessage& message);
    void leave(const PhoenixMessage& message);
    void swapToken(const PhoenixMessage& message, Channel& channel);
    void close(std::map<std::string, Channel>::iterator channel, const std::string& reason);

    void reply(const PhoenixMessage& to, std::string_view status, nlohmann::json response);
    void replyError(const PhoenixMessage& to, const std::string& reason);
    void push(std::optional<std::string> joinRef, std::optional<std::string> ref,
              const std::string& topic, std::string event, nlohmann::json payload);
    void systemMessage(const std::string& topic, const std::string& name,
                       std::string_view extension, std::string_view status,
                       const std::string& message);
    std::string expiredMessage(std::int64_t exp) const;

    RealtimeVsn vsn_;
    RealtimeClaims apiKey_;
    std::string jwtSecret_;
    const RealtimeCatalog& catalog_;
    RealtimeSessionHooks hooks_;
    std::map<std::string, Channel> channels_; // by topic
    std::uint64_t nextSerial_ = 1;
};

} // namespace ostral::devstack
