#include "PhoenixSocket.h"

#include <Supabase/Realtime.h>
#include <Supabase/RealtimeProtocol.h>
#include <Support/Awaitables.h>

#include <glib.h>

#include <algorithm>
#include <functional>
#include <utility>

namespace ostral::supabase {

namespace {

using Json = nlohmann::json;
using std::chrono::milliseconds;

Error channelError(Error::Kind kind, std::string message, std::string code = {}) {
    Error error;
    error.kind = kind;
    error.code = std::move(code);
    error.message = std::move(message);
    return error;
}

// 1, 2, 4, 8 ... seconds, held to 30 and spread by a quarter either way, so that desks that lost
// the server together do not all come back in the same instant.
milliseconds retryDelay(int attempt) {
    double seconds = 1.0;
    for (int i = 1; i < attempt && seconds < 30.0; ++i) {
        seconds *= 2.0;
    }
    seconds = std::min(seconds, 30.0) * g_random_double_range(0.75, 1.25);
    return milliseconds(static_cast<long long>(std::max(seconds, 0.1) * 1000.0));
}

std::string stringMember(const Json& object, const char* key) {
    if (!object.is_object()) {
        return {};
    }
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// "Unauthorized: You do not have permissions..." → code "Unauthorized" and the whole text.
Error joinRefusal(const Json& response) {
    std::string reason = stringMember(response, "reason");
    if (reason.empty()) {
        reason = response.is_null() ? std::string("The server refused to join the channel")
                                    : response.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    std::string code;
    if (auto colon = reason.find(':');
        colon != std::string::npos && colon > 0 && reason.find(' ') > colon) {
        code = reason.substr(0, colon);
    }
    return channelError(Error::Kind::api, std::move(reason), std::move(code));
}

} // namespace

RealtimeChannel::RealtimeChannel(PrivateTag, std::string topic,
                                 std::weak_ptr<detail::PhoenixSocket> socket)
    : topic_(std::move(topic))
    , socket_(std::move(socket)) {}

RealtimeChannel::~RealtimeChannel() {
    close();
}

support::AsyncStream<PostgresChange>
RealtimeChannel::postgresChange(PostgresAction action, std::string schema, std::string table,
                                std::optional<std::string> filter) {
    Binding binding{action, std::move(schema), std::move(table), std::move(filter), std::nullopt,
                    {}};
    if (closed_ || status_ != ChannelStatus::unsubscribed || joinDone_) {
        log_.error("listener for {} added to {} after subscribing; it receives nothing",
                   binding.table, topic_);
        binding.stream.finish();
        return binding.stream;
    }
    bindings_.push_back(binding);
    return binding.stream;
}

support::AsyncStream<ChannelStatus> RealtimeChannel::statusChange() {
    support::AsyncStream<ChannelStatus> stream;
    stream.push(status_);
    if (closed_) {
        stream.finish();
    } else {
        statusStreams_.push_back(stream);
    }
    return stream;
}

support::Task<Result<void>> RealtimeChannel::subscribeWithError() {
    return subscribeTask(shared_from_this());
}

support::Task<void> RealtimeChannel::unsubscribe() {
    return unsubscribeTask(shared_from_this());
}

support::Task<Result<void>> RealtimeChannel::subscribeTask(std::shared_ptr<RealtimeChannel> self) {
    if (self->leaveDone_) {
        support::Promise<bool> leaving = *self->leaveDone_;
        co_await leaving.value();
    }
    if (self->closed_) {
        co_return channelError(Error::Kind::cancelled, "The channel was removed");
    }
    if (self->status_ == ChannelStatus::subscribed) {
        co_return Result<void>();
    }
    if (!self->joinDone_) {
        self->startJoining(milliseconds(0), false);
    }
    // Someone waits for this join now: a lost connection must not end it.
    self->rejoining_ = false;
    support::Promise<Result<void>> done = *self->joinDone_;
    Result<void> result = co_await done.value();
    co_return result;
}

namespace {

// Ends a leave however the waiting task ends, cancellation included.
class LeaveEnd {
public:
    explicit LeaveEnd(std::function<void()> end)
        : end_(std::move(end)) {}
    LeaveEnd(const LeaveEnd&) = delete;
    LeaveEnd& operator=(const LeaveEnd&) = delete;
    ~LeaveEnd() { end_(); }

private:
    std::function<void()> end_;
};

} // namespace

support::Task<void> RealtimeChannel::unsubscribeTask(std::shared_ptr<RealtimeChannel> self) {
    if (self->closed_) {
        co_return;
    }
    self->wantsJoin_ = false;
    if (self->leaveDone_) {
        support::Promise<bool> leaving = *self->leaveDone_;
        co_await leaving.value();
        co_return;
    }
    std::shared_ptr<detail::PhoenixSocket> socket = self->socket_.lock();
    const bool joinedOnServer = socket && socket->isOpen() && self->joinRef_;
    self->endJoining(channelError(Error::Kind::cancelled, "The channel was unsubscribed"));
    if (!joinedOnServer) {
        self->joinRef_.reset();
        self->setStatus(ChannelStatus::unsubscribed);
        co_return;
    }
    self->setStatus(ChannelStatus::unsubscribing);
    support::Promise<bool> done;
    self->leaveDone_ = done;
    self->leaveRef_ = socket->makeRef();
    socket->push(
        PhoenixMessage{self->joinRef_, self->leaveRef_, self->topic_, "phx_leave", Json::object()});
    support::Timer timeout(socket->timers(), socket->options().timeoutInterval,
                           [done]() mutable { done.set(false); });
    socket.reset();
    LeaveEnd end([channel = self] {
        if (channel->closed_) {
            return;
        }
        if (channel->leaveDone_) {
            channel->leaveDone_->set(false);
        }
        channel->leaveDone_.reset();
        channel->leaveRef_.reset();
        channel->joinRef_.reset();
        channel->setStatus(ChannelStatus::unsubscribed);
    });
    const bool answered = co_await done.value();
    if (!answered) {
        self->log_.notice("leaving {} got no answer", self->topic_);
    }
}

void RealtimeChannel::startJoining(milliseconds delay, bool rejoin) {
    wantsJoin_ = true;
    rejoining_ = rejoin;
    joinDone_ = support::Promise<Result<void>>();
    joinTask_.cancel();
    joinTask_ = support::spawn(weak_from_this(), joinWithRetries(*joinDone_, delay));
}

void RealtimeChannel::endJoining(const Error& error) {
    joinTask_.cancel();
    attempt_.reset();
    attemptSent_ = false;
    awaitingConfirmation_ = false;
    if (joinDone_) {
        support::Promise<Result<void>> done = std::move(*joinDone_);
        joinDone_.reset();
        done.set(error);
    }
}

support::Task<void> RealtimeChannel::joinWithRetries(support::Promise<Result<void>> done,
                                                     milliseconds delay) {
    std::shared_ptr<detail::PhoenixSocket> socket = socket_.lock();
    if (!socket) {
        co_return;
    }
    support::TimerSource& timers = socket->timers();
    const RealtimeOptions options = socket->options();
    socket.reset();
    if (delay > milliseconds(0)) {
        co_await support::sleepFor(timers, delay);
    }
    Result<void> outcome = channelError(Error::Kind::timedOut, "Subscribing timed out");
    const int attempts = std::max(1, options.maxRetryAttempts);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (options.connectOnSubscribe) {
            if (auto current = socket_.lock()) {
                current->connect();
            }
        }
        support::Promise<Result<void>> result;
        attempt_ = result;
        attemptSent_ = false;
        awaitingConfirmation_ = false;
        setStatus(ChannelStatus::subscribing);
        sendJoin();
        support::Timer timeout(timers, options.timeoutInterval, [this] {
            finishAttempt(
                channelError(Error::Kind::timedOut, "Subscribing to " + topic_ + " timed out"));
        });
        outcome = co_await result.value();
        attempt_.reset();
        if (outcome) {
            co_return;
        }
        log_.error("subscribing to {} failed (attempt {} of {}): {}", topic_, attempt, attempts,
                   outcome.error().description());
        if (attempt < attempts) {
            co_await support::sleepFor(timers, retryDelay(attempt));
        }
    }
    wantsJoin_ = false;
    joinRef_.reset();
    joinDone_.reset();
    setStatus(ChannelStatus::unsubscribed);
    done.set(std::move(outcome));
}

bool RealtimeChannel::attemptInFlight() const noexcept {
    return attempt_ && !attempt_->isSet();
}

void RealtimeChannel::sendJoin() {
    std::shared_ptr<detail::PhoenixSocket> socket = socket_.lock();
    if (!socket || !socket->isOpen() || !attemptInFlight() || attemptSent_) {
        return;
    }
    std::vector<PostgresChangeConfig> configs;
    for (Binding& binding : bindings_) {
        binding.serverId.reset();
        configs.push_back({binding.action, binding.schema, binding.table, binding.filter});
    }
    joinRef_ = socket->makeRef();
    joinToken_ = socket->accessToken();
    attemptSent_ = socket->push(PhoenixMessage{joinRef_, joinRef_, topic_, "phx_join",
                                               realtimeJoinPayload(configs, joinToken_)});
    if (!attemptSent_) {
        joinRef_.reset();
    }
}

void RealtimeChannel::sendLeaveAndForget() {
    if (auto socket = socket_.lock(); socket && joinRef_) {
        socket->push(
            PhoenixMessage{joinRef_, socket->makeRef(), topic_, "phx_leave", Json::object()});
    }
    joinRef_.reset();
}

void RealtimeChannel::finishAttempt(Result<void> outcome) {
    if (!attemptInFlight()) {
        return;
    }
    awaitingConfirmation_ = false;
    if (outcome) {
        // Success ends the join loop here rather than when it next runs, so that the status
        // changes together with the message that confirmed it.
        attempt_.reset();
        attemptSent_ = false;
        std::optional<support::Promise<Result<void>>> done = std::move(joinDone_);
        joinDone_.reset();
        joinTask_.cancel();
        setStatus(ChannelStatus::subscribed);
        // A token that changed while the join was under way reaches the server now.
        if (auto socket = socket_.lock();
            socket && socket->accessToken() && socket->accessToken() != joinToken_) {
            pushAccessToken(*socket->accessToken());
        }
        if (done) {
            done->set(Result<void>());
        }
        return;
    }
    // The server may hold the channel joined (a reply that came too late, bindings that did not
    // match); leaving makes the next attempt start clean.
    if (attemptSent_) {
        sendLeaveAndForget();
    }
    attemptSent_ = false;
    joinRef_.reset();
    support::Promise<Result<void>> attempt = *attempt_;
    attempt.set(std::move(outcome));
}

void RealtimeChannel::socketOpened() {
    if (closed_) {
        return;
    }
    if (attemptInFlight()) {
        sendJoin();
        return;
    }
    if (!joinDone_ && !leaveDone_ && wantsJoin_ && status_ == ChannelStatus::unsubscribed) {
        log_.info("rejoining {}", topic_);
        startJoining(milliseconds(0), true);
    }
}

void RealtimeChannel::socketClosed(bool byUser) {
    if (closed_) {
        return;
    }
    // The server forgets every channel of a connection that is gone.
    if (leaveDone_) {
        leaveDone_->set(true);
    }
    if (byUser) {
        endJoining(channelError(Error::Kind::cancelled, "The connection was closed"));
        joinRef_.reset();
        setStatus(ChannelStatus::unsubscribed);
        return;
    }
    if (joinDone_ && rejoining_) {
        // Nobody waits for a rejoin; the next connection starts a fresh one, so that a long
        // outage does not use up its attempts.
        endJoining(channelError(Error::Kind::cancelled, "The connection was lost"));
        joinRef_.reset();
        setStatus(ChannelStatus::unsubscribed);
        return;
    }
    if (attemptInFlight()) {
        // The attempt goes on: its join is sent again once the connection is back, within the
        // same timeout.
        attemptSent_ = false;
        awaitingConfirmation_ = false;
        joinRef_.reset();
        return;
    }
    joinRef_.reset();
    if (status_ == ChannelStatus::subscribed) {
        setStatus(ChannelStatus::unsubscribed);
    }
}

void RealtimeChannel::handleMessage(const std::optional<std::string>& joinRef,
                                    const std::optional<std::string>& ref, const std::string& event,
                                    const Json& payload) {
    if (closed_) {
        return;
    }
    if (event == "phx_reply") {
        if (!ref) {
            return;
        }
        if (leaveDone_ && ref == leaveRef_) {
            leaveDone_->set(true);
            return;
        }
        if (joinRef_ && ref == joinRef_ && attemptInFlight() && attemptSent_ &&
            !awaitingConfirmation_) {
            handleJoinReply(payload);
        }
        return;
    }
    if (event == "phx_close" || event == "phx_error") {
        // Closings of an earlier join of this topic are stale.
        const std::optional<std::string>& closing = joinRef ? joinRef : ref;
        if (joinRef_ && closing == joinRef_) {
            serverClosed(event == "phx_error");
        }
        return;
    }
    if (event == "system") {
        handleSystem(payload);
        return;
    }
    if (event == "postgres_changes") {
        handleChange(payload);
    }
}

void RealtimeChannel::handleJoinReply(const Json& payload) {
    const std::string status = stringMember(payload, "status");
    const Json response =
        payload.is_object() && payload.contains("response") ? payload.at("response") : Json();
    if (status != "ok") {
        // The server did not join; there is nothing to leave.
        attemptSent_ = false;
        joinRef_.reset();
        finishAttempt(joinRefusal(response));
        return;
    }
    std::vector<PostgresChangeConfig> configs;
    for (const Binding& binding : bindings_) {
        configs.push_back({binding.action, binding.schema, binding.table, binding.filter});
    }
    std::optional<std::vector<std::int64_t>> ids = matchPostgresChangeIds(configs, response);
    if (!ids) {
        finishAttempt(channelError(
            Error::Kind::api, "mismatch between server and client bindings for postgres changes"));
        return;
    }
    for (std::size_t i = 0; i < bindings_.size(); ++i) {
        bindings_[i].serverId = (*ids)[i];
    }
    if (bindings_.empty()) {
        finishAttempt(Result<void>());
        return;
    }
    // Subscribed only once the server says the change feed is attached: rows written before
    // that moment are not delivered, so the caller's catch-up must not start earlier.
    awaitingConfirmation_ = true;
}

void RealtimeChannel::handleSystem(const Json& payload) {
    const std::string extension = stringMember(payload, "extension");
    const std::string status = stringMember(payload, "status");
    const std::string message = stringMember(payload, "message");
    if (status == "ok") {
        if (attemptInFlight() && awaitingConfirmation_ && extension == "postgres_changes") {
            log_.info("{}: {}", topic_, message);
            finishAttempt(Result<void>());
        }
        return;
    }
    if (status != "error") {
        return;
    }
    log_.error("{} reports a {} error: {}", topic_, extension, message);
    if (attemptInFlight()) {
        // The server retries attaching the change feed itself; the attempt's timeout bounds
        // the wait. Any other error ends the attempt.
        if (extension != "postgres_changes") {
            finishAttempt(channelError(Error::Kind::api, message));
        }
        return;
    }
    if (status_ == ChannelStatus::subscribed) {
        wantsJoin_ = false;
        sendLeaveAndForget();
        setStatus(ChannelStatus::unsubscribed);
    }
}

void RealtimeChannel::serverClosed(bool rejoin) {
    if (attemptInFlight()) {
        attemptSent_ = false;
        finishAttempt(channelError(Error::Kind::api, "The server closed the channel"));
        return;
    }
    if (leaveDone_) {
        leaveDone_->set(true);
        return;
    }
    joinRef_.reset();
    if (status_ != ChannelStatus::subscribed) {
        return;
    }
    log_.notice("{} closed by the server{}", topic_, rejoin ? " after an error; rejoining" : "");
    setStatus(ChannelStatus::unsubscribed);
    if (rejoin && wantsJoin_) {
        startJoining(std::chrono::seconds(1), true);
    } else {
        wantsJoin_ = false;
    }
}

void RealtimeChannel::handleChange(const Json& payload) {
    std::optional<RoutedChange> routed = decodePostgresChangeEvent(payload);
    if (!routed) {
        if (!std::exchange(loggedBadChange_, true)) {
            log_.error("malformed change event on {} dropped", topic_);
        }
        return;
    }
    if (!joinRef_) {
        return;
    }
    for (Binding& binding : bindings_) {
        if (binding.serverId &&
            std::find(routed->ids.begin(), routed->ids.end(), *binding.serverId) !=
                routed->ids.end() &&
            postgresActionMatches(binding.action, routed->change.type)) {
            binding.stream.push(routed->change);
        }
    }
}

void RealtimeChannel::pushAccessToken(const std::string& token) {
    if (closed_ || status_ != ChannelStatus::subscribed || !joinRef_) {
        return;
    }
    if (auto socket = socket_.lock()) {
        socket->push(PhoenixMessage{joinRef_, socket->makeRef(), topic_, "access_token",
                                    Json{{"access_token", token}}});
    }
}

void RealtimeChannel::setStatus(ChannelStatus status) {
    if (status == status_) {
        return;
    }
    status_ = status;
    log_.info("{} {}", topic_, channelStatusName(status));
    for (auto& stream : statusStreams_) {
        stream.push(status);
    }
}

void RealtimeChannel::close() {
    if (closed_) {
        return;
    }
    wantsJoin_ = false;
    endJoining(channelError(Error::Kind::cancelled, "The channel was removed"));
    if (leaveDone_) {
        leaveDone_->set(false);
    }
    joinRef_.reset();
    setStatus(ChannelStatus::unsubscribed);
    closed_ = true;
    for (Binding& binding : bindings_) {
        binding.stream.finish();
    }
    for (auto& stream : std::exchange(statusStreams_, {})) {
        stream.finish();
    }
    socket_.reset();
}

} // namespace ostral::supabase
