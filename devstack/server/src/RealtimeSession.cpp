#include "RealtimeSession.h"

#include "Jwt.h"

#include <fmt/format.h>

namespace ostral::devstack {
namespace {

constexpr std::string_view topicPrefix = "realtime:";

std::string tokenReason(const RealtimeTokenError& error) {
    return "InvalidJWTToken: " + error.message;
}

std::int64_t claimedExpiry(std::string_view token) {
    const auto first = token.find('.');
    const auto second = token.find('.', first == std::string_view::npos ? first : first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) {
        return 0;
    }
    const auto text = base64UrlDecode(token.substr(first + 1, second - first - 1));
    if (!text) {
        return 0;
    }
    const auto claims = nlohmann::json::parse(*text, nullptr, false);
    if (!claims.is_object()) {
        return 0;
    }
    const auto exp = claims.find("exp");
    if (exp == claims.end() || !exp->is_number()) {
        return 0;
    }
    const double value = exp->get<double>();
    // Keeps the cast defined; an expiry outside this range is nonsense anyway.
    return value > -1e15 && value < 1e15 ? static_cast<std::int64_t>(value) : 0;
}

std::string secondsAgo(std::int64_t exp, std::int64_t now) {
    const std::int64_t ago = exp > 0 && now > exp ? now - exp : 0;
    return fmt::format("Token has expired {} seconds ago", ago);
}

} // namespace

Outcome<RealtimeClaims, RealtimeTokenError>
verifyRealtimeToken(std::string_view token, std::string_view secret, std::int64_t nowUnix) {
    auto claims = Jwt::verify(token, secret, nowUnix);
    if (!claims) {
        if (claims.error().kind == JwtErrorKind::expired) {
            return Failure{RealtimeTokenError{RealtimeTokenProblem::expired,
                                              secondsAgo(claimedExpiry(token), nowUnix)}};
        }
        return Failure{RealtimeTokenError{RealtimeTokenProblem::invalid, claims.error().message}};
    }
    const auto role = claims->find("role");
    const auto exp = claims->find("exp");
    if (role == claims->end() || !role->is_string() || exp == claims->end() || !exp->is_number()) {
        return Failure{RealtimeTokenError{RealtimeTokenProblem::missingClaims,
                                          "Fields `role` and `exp` are required in JWT"}};
    }
    RealtimeClaims result;
    result.token = std::string(token);
    result.role = role->get<std::string>();
    const double expiry = exp->get<double>();
    result.exp = expiry < 1e15 ? static_cast<std::int64_t>(expiry) : std::int64_t{1} << 50;
    result.claims = std::move(claims).value();
    return result;
}

RealtimeSession::RealtimeSession(RealtimeVsn vsn, RealtimeClaims apiKey, std::string jwtSecret,
                                 const RealtimeCatalog& catalog, RealtimeSessionHooks hooks)
    : vsn_(vsn)
    , apiKey_(std::move(apiKey))
    , jwtSecret_(std::move(jwtSecret))
    , catalog_(catalog)
    , hooks_(std::move(hooks)) {}

void RealtimeSession::receive(std::string_view text) {
    auto message = decodePhoenixFrame(text, vsn_);
    if (message) {
        handle(*message);
        return;
    }
    const FrameError& error = message.error();
    if (!error.topic) {
        hooks_.log("realtime: dropped a malformed frame: " + error.reason);
        return;
    }
    PhoenixMessage to;
    to.topic = *error.topic;
    to.joinRef = error.joinRef;
    to.ref = error.ref;
    replyError(to, "malformed message: " + error.reason);
}

void RealtimeSession::handle(const PhoenixMessage& message) {
    if (message.topic == "phoenix") {
        if (message.event == "heartbeat") {
            reply(message, "ok", nlohmann::json::object());
            closeExpiredChannels();
        } else {
            replyError(message, "unmatched topic");
        }
        return;
    }
    if (message.event == "phx_join") {
        join(message);
        return;
    }
    const auto channel = channels_.find(message.topic);
    if (message.event == "phx_leave") {
        leave(message);
        return;
    }
    if (channel == channels_.end()) {
        replyError(message, "unmatched topic");
        return;
    }
    if (message.event == "access_token") {
        swapToken(message, channel->second);
        return;
    }
    replyError(message, "unknown event \"" + message.event + "\"");
}

void RealtimeSession::join(const PhoenixMessage& message) {
    // A second join of a topic replaces the first, as Phoenix shuts the old channel down.
    channels_.erase(message.topic);
    if (message.topic.compare(0, topicPrefix.size(), topicPrefix) != 0) {
        replyError(message, "unmatched topic");
        return;
    }
    const std::string name = message.topic.substr(topicPrefix.size());
    if (name.empty()) {
        replyError(message, "You must provide a topic name");
        return;
    }
    auto request = parseRealtimeJoin(message.payload, catalog_);
    if (!request) {
        replyError(message, request.error());
        return;
    }
    RealtimeClaims claims = apiKey_;
    if (request->accessToken && request->accessToken->compare(0, 3, "sb_") != 0) {
        auto verified = verifyRealtimeToken(*request->accessToken, jwtSecret_, hooks_.nowUnix());
        if (!verified) {
            replyError(message, tokenReason(verified.error()));
            return;
        }
        claims = std::move(verified).value();
    } else if (claims.exp <= hooks_.nowUnix()) {
        replyError(message, "InvalidJWTToken: " + expiredMessage(claims.exp));
        return;
    }
    Channel channel;
    channel.name = name;
    channel.joinRef = message.joinRef ? message.joinRef : message.ref;
    channel.claims = std::move(claims);
    channel.subscriptions = std::move(request->subscriptions);
    channel.serial = nextSerial_++;
    const std::uint64_t serial = channel.serial;
    channels_[message.topic] = std::move(channel);
    reply(message, "ok", {{"postgres_changes", std::move(request->replyEntries)}});
    hooks_.joined(message.topic, serial);
}

void RealtimeSession::leave(const PhoenixMessage& message) {
    reply(message, "ok", nlohmann::json::object());
    const auto channel = channels_.find(message.topic);
    if (channel == channels_.end()) {
        return;
    }
    const auto joinRef = channel->second.joinRef;
    channels_.erase(channel);
    push(joinRef, joinRef, message.topic, "phx_close", nlohmann::json::object());
}

void RealtimeSession::swapToken(const PhoenixMessage& message, Channel& channel) {
    const auto token = message.payload.find("access_token");
    // Like the real service: no token, an API key or the token in use leave the channel as is.
    if (token == message.payload.end() || !token->is_string()) {
        return;
    }
    const auto text = token->get<std::string>();
    if (text.compare(0, 3, "sb_") == 0 || text == channel.claims.token) {
        return;
    }
    auto verified = verifyRealtimeToken(text, jwtSecret_, hooks_.nowUnix());
    if (!verified) {
        const std::string reason = verified.error().problem == RealtimeTokenProblem::expired
                                       ? verified.error().message
                                       : tokenReason(verified.error());
        close(channels_.find(message.topic), reason);
        return;
    }
    channel.claims = std::move(verified).value();
}

void RealtimeSession::close(std::map<std::string, Channel>::iterator channel,
                            const std::string& reason) {
    const std::string topic = channel->first;
    const std::string name = channel->second.name;
    const auto joinRef = channel->second.joinRef;
    channels_.erase(channel);
    systemMessage(topic, name, "system", "error", reason);
    push(joinRef, joinRef, topic, "phx_close", nlohmann::json::object());
}

void RealtimeSession::confirm(const std::string& topic, std::uint64_t serial) {
    const auto channel = channels_.find(topic);
    if (channel == channels_.end() || channel->second.serial != serial ||
        channel->second.confirmed) {
        return;
    }
    channel->second.confirmed = true;
    systemMessage(topic, channel->second.name, "postgres_changes", "ok",
                  "Subscribed to PostgreSQL");
}

void RealtimeSession::closeExpiredChannels() {
    const std::int64_t now = hooks_.nowUnix();
    for (auto channel = channels_.begin(); channel != channels_.end();) {
        const auto next = std::next(channel);
        if (channel->second.claims.exp <= now) {
            close(channel, expiredMessage(channel->second.claims.exp));
        }
        channel = next;
    }
}

void RealtimeSession::deliver(const RealtimeChange& change) {
    closeExpiredChannels();
    const RealtimeTable* table = catalog_.find(change.schema, change.table);
    if (table == nullptr) {
        hooks_.log("realtime: a change of unknown table " + change.schema + "." + change.table +
                   " was not sent");
        return;
    }
    std::optional<nlohmann::json> data;
    for (auto& [topic, channel] : channels_) {
        if (!channel.confirmed) {
            continue;
        }
        auto ids = matchingSubscriptionIds(channel.subscriptions, change);
        if (ids.empty()) {
            continue;
        }
        // A deleted row can no longer be read; the real service sends deletes unchecked and
        // shows only the primary key.
        if (change.type != RealtimeEvent::del) {
            const auto key = primaryKeyValues(change, *table);
            if (!key || !hooks_.rowVisible(channel.claims, *table, *key)) {
                continue;
            }
        }
        if (!data) {
            data = realtimeChangeData(change, table);
        }
        push(std::nullopt, std::nullopt, topic, "postgres_changes",
             {{"ids", std::move(ids)}, {"data", *data}});
    }
}

void RealtimeSession::reply(const PhoenixMessage& to, std::string_view status,
                            nlohmann::json response) {
    push(to.joinRef, to.ref, to.topic, "phx_reply",
         {{"status", status}, {"response", std::move(response)}});
}

void RealtimeSession::replyError(const PhoenixMessage& to, const std::string& reason) {
    reply(to, "error", {{"reason", reason}});
}

void RealtimeSession::push(std::optional<std::string> joinRef, std::optional<std::string> ref,
                           const std::string& topic, std::string event, nlohmann::json payload) {
    PhoenixMessage message;
    message.joinRef = std::move(joinRef);
    message.ref = std::move(ref);
    message.topic = topic;
    message.event = std::move(event);
    message.payload = std::move(payload);
    hooks_.send(encodePhoenixFrame(message, vsn_));
}

void RealtimeSession::systemMessage(const std::string& topic, const std::string& name,
                                    std::string_view extension, std::string_view status,
                                    const std::string& message) {
    push(std::nullopt, std::nullopt, topic, "system",
         {{"extension", extension}, {"status", status}, {"message", message}, {"channel", name}});
}

std::string RealtimeSession::expiredMessage(std::int64_t exp) const {
    return secondsAgo(exp, hooks_.nowUnix());
}

} // namespace ostral::devstack
