#include "PhoenixSocket.h"

#include <Supabase/RealtimeProtocol.h>
#include <Support/Awaitables.h>

#include <algorithm>
#include <utility>

namespace ostral::supabase::detail {

namespace {

constexpr std::chrono::milliseconds kLongestReconnectDelay = std::chrono::seconds(30);
// Change events carry whole rows; the server cuts a record down to its key well below this.
constexpr gint64 kMaxIncomingFrame = gint64{8} * 1024 * 1024;

} // namespace

std::string realtimeWebsocketUrl(std::string base, const std::string& apiKey) {
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    if (base.starts_with("https://")) {
        base = "wss://" + base.substr(8);
    } else if (base.starts_with("http://")) {
        base = "ws://" + base.substr(7);
    }
    support::GCharPtr key(g_uri_escape_string(apiKey.c_str(), nullptr, FALSE));
    return base + "/realtime/v1/websocket?apikey=" + std::string(key.view()) + "&vsn=2.0.0";
}

PhoenixSocket::PhoenixSocket(std::string baseUrl, std::string apiKey, RealtimeOptions options,
                             support::TimerSource& timers, const support::Clock& clock,
                             support::GObjectPtr<SoupSession> session)
    : url_(realtimeWebsocketUrl(std::move(baseUrl), apiKey))
    , apiKey_(std::move(apiKey))
    , options_(options)
    , timers_(timers)
    , clock_(clock)
    , session_(session ? std::move(session) : support::adoptGObject(soup_session_new())) {}

PhoenixSocket::~PhoenixSocket() {
    if (connection_) {
        dropConnection(1000, "client closed", false);
    }
}

std::chrono::milliseconds PhoenixSocket::reconnectDelay(std::chrono::milliseconds base,
                                                        int attempt) {
    const std::chrono::milliseconds ceiling = std::max(base, kLongestReconnectDelay);
    std::chrono::milliseconds delay = std::max(base, std::chrono::milliseconds(0));
    for (int i = 1; i < attempt && delay < ceiling; ++i) {
        delay *= 2;
    }
    return std::min(delay, ceiling);
}

std::shared_ptr<RealtimeChannel> PhoenixSocket::channel(std::string name) {
    idleDisconnect_.cancel();
    const std::string topic = "realtime:" + std::move(name);
    for (const auto& existing : channels_) {
        if (existing->topic() == topic) {
            return existing;
        }
    }
    auto created =
        std::make_shared<RealtimeChannel>(RealtimeChannel::PrivateTag{}, topic, weak_from_this());
    channels_.push_back(created);
    return created;
}

void PhoenixSocket::forget(const std::shared_ptr<RealtimeChannel>& channel) {
    const auto removed = std::erase(channels_, channel);
    if (removed == 0 || !channels_.empty()) {
        return;
    }
    if (options_.disconnectOnEmptyChannelsAfter <= std::chrono::milliseconds(0)) {
        disconnect();
        return;
    }
    idleDisconnect_.start(timers_, options_.disconnectOnEmptyChannelsAfter, [this] {
        log_.info("no channel left; disconnecting");
        disconnect();
    });
}

void PhoenixSocket::forgetAll() {
    auto channels = std::exchange(channels_, {});
    for (const auto& channel : channels) {
        channel->close();
    }
    disconnect();
}

void PhoenixSocket::connect() {
    stopped_ = false;
    if (state_ != State::closed || reconnectTimer_.isActive()) {
        return;
    }
    startConnecting();
}

void PhoenixSocket::disconnect() {
    stopped_ = true;
    idleDisconnect_.cancel();
    reconnectTimer_.cancel();
    reconnectAttempts_ = 0;
    if (state_ == State::closed) {
        return;
    }
    connectionLost(false, true);
}

void PhoenixSocket::startConnecting() {
    state_ = State::connecting;
    connectTimeout_.start(timers_, options_.timeoutInterval, [this] {
        log_.error("realtime connection timed out");
        connectTask_.cancel();
        state_ = State::closed;
        scheduleReconnect();
    });
    connectTask_ = support::spawn(weak_from_this(), openConnection());
}

support::Task<void> PhoenixSocket::openConnection() {
    support::GObjectPtr<SoupMessage> message(soup_message_new("GET", url_.c_str()),
                                             support::kAdopt);
    if (!message) {
        connectTimeout_.cancel();
        state_ = State::closed;
        log_.error("realtime URL is not valid: {}", url_);
        co_return;
    }
    SoupMessageHeaders* headers = soup_message_get_request_headers(message.get());
    soup_message_headers_append(headers, "apikey", apiKey_.c_str());
    soup_message_headers_append(headers, "X-Client-Info",
                                std::string(kRealtimeClientVersion).c_str());
    log_.info("realtime connecting");
    support::GObjectPtr<GAsyncResult> result = co_await support::gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            soup_session_websocket_connect_async(session_.get(), message.get(), nullptr, nullptr,
                                                 G_PRIORITY_DEFAULT, cancellable, callback,
                                                 userData);
        });
    support::GErrorPtr error;
    support::GObjectPtr<SoupWebsocketConnection> connection(
        soup_session_websocket_connect_finish(session_.get(), result.get(), error.out()),
        support::kAdopt);
    connectTimeout_.cancel();
    if (!connection) {
        log_.error("realtime connection failed: {} (HTTP {})", support::errorMessage(error),
                   soup_message_get_status(message.get()));
        state_ = State::closed;
        scheduleReconnect();
        co_return;
    }
    connectionOpened(std::move(connection));
}

void PhoenixSocket::connectionOpened(support::GObjectPtr<SoupWebsocketConnection> connection) {
    retired_.reset();
    connection_ = std::move(connection);
    soup_websocket_connection_set_max_incoming_payload_size(connection_.get(), kMaxIncomingFrame);
    g_signal_connect(connection_.get(), "message", G_CALLBACK(&PhoenixSocket::onMessage), this);
    g_signal_connect(connection_.get(), "closed", G_CALLBACK(&PhoenixSocket::onClosed), this);
    g_signal_connect(connection_.get(), "error", G_CALLBACK(&PhoenixSocket::onError), this);
    state_ = State::open;
    reconnectAttempts_ = 0;
    pendingHeartbeat_.reset();
    heartbeatTimer_.start(timers_, options_.heartbeatInterval, [this] { heartbeat(); });
    log_.notice("realtime connected");
    auto channels = channels_;
    for (const auto& channel : channels) {
        channel->socketOpened();
    }
}

void PhoenixSocket::dropConnection(unsigned short closeCode, const char* reason, bool fromSignal) {
    support::GObjectPtr<SoupWebsocketConnection> connection = std::move(connection_);
    if (!connection) {
        return;
    }
    g_signal_handlers_disconnect_by_data(connection.get(), this);
    if (soup_websocket_connection_get_state(connection.get()) == SOUP_WEBSOCKET_STATE_OPEN) {
        soup_websocket_connection_close(connection.get(), closeCode, reason);
    }
    // A connection whose signal handler is running now is still used by libsoup once the handler
    // returns; it is kept until the next connection comes or goes.
    if (fromSignal) {
        retired_ = std::move(connection);
    } else {
        retired_.reset();
    }
}

void PhoenixSocket::connectionLost(bool reconnect, bool byUser, bool fromSignal) {
    connectTask_.cancel();
    connectTimeout_.cancel();
    heartbeatTimer_.stop();
    dropConnection(1000, byUser ? "client disconnected" : "connection lost", fromSignal);
    pendingHeartbeat_.reset();
    state_ = State::closed;
    auto channels = channels_;
    for (const auto& channel : channels) {
        channel->socketClosed(byUser);
    }
    if (reconnect) {
        scheduleReconnect();
    }
}

void PhoenixSocket::scheduleReconnect() {
    if (stopped_) {
        return;
    }
    reconnectAttempts_ = std::min(reconnectAttempts_ + 1, 1000);
    const auto delay = reconnectDelay(options_.reconnectDelay, reconnectAttempts_);
    log_.notice("realtime reconnecting in {} ms (attempt {})", delay.count(), reconnectAttempts_);
    reconnectTimer_.start(timers_, delay, [this] {
        if (state_ == State::closed && !stopped_) {
            startConnecting();
        }
    });
}

void PhoenixSocket::heartbeat() {
    if (state_ != State::open) {
        return;
    }
    if (pendingHeartbeat_) {
        log_.notice("realtime heartbeat timed out; reconnecting");
        connectionLost(true, false);
        return;
    }
    pendingHeartbeat_ = makeRef();
    push(PhoenixMessage{std::nullopt, pendingHeartbeat_, "phoenix", "heartbeat",
                        nlohmann::json::object()});
}

bool PhoenixSocket::push(const PhoenixMessage& message) {
    if (state_ != State::open || !connection_ ||
        soup_websocket_connection_get_state(connection_.get()) != SOUP_WEBSOCKET_STATE_OPEN) {
        return false;
    }
    const std::string text = encodePhoenixFrame(message);
    log_.debug("realtime send {}", text);
    soup_websocket_connection_send_text(connection_.get(), text.c_str());
    return true;
}

std::string PhoenixSocket::makeRef() {
    return std::to_string(++lastRef_);
}

void PhoenixSocket::setAuth(std::optional<std::string> accessToken) {
    const bool changed = accessToken != accessToken_;
    accessToken_ = std::move(accessToken);
    if (!changed || !accessToken_) {
        return;
    }
    auto channels = channels_;
    for (const auto& channel : channels) {
        channel->pushAccessToken(*accessToken_);
    }
}

void PhoenixSocket::handleText(std::string_view text) {
    auto decoded = decodePhoenixFrame(text);
    if (auto* problem = std::get_if<FrameProblem>(&decoded)) {
        if (loggedProblems_.insert(*problem).second) {
            log_.error("realtime frame dropped: {}", frameProblemName(*problem));
        }
        return;
    }
    auto& message = std::get<PhoenixMessage>(decoded);
    log_.debug("realtime received {} {}", message.topic, message.event);
    if (message.topic == "phoenix") {
        if (message.event == "phx_reply" && message.ref && message.ref == pendingHeartbeat_) {
            pendingHeartbeat_.reset();
        }
        return;
    }
    std::shared_ptr<RealtimeChannel> target;
    for (const auto& channel : channels_) {
        if (channel->topic() == message.topic) {
            target = channel;
            break;
        }
    }
    if (target) {
        target->handleMessage(message.joinRef, message.ref, message.event, message.payload);
    }
}

void PhoenixSocket::onMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer self) {
    auto* socket = static_cast<PhoenixSocket*>(self);
    if (type != SOUP_WEBSOCKET_DATA_TEXT) {
        if (!std::exchange(socket->loggedBinary_, true)) {
            socket->log_.notice("realtime binary frame ignored");
        }
        return;
    }
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(message, &size));
    socket->handleText(std::string_view(data == nullptr ? "" : data, size));
}

void PhoenixSocket::onClosed(SoupWebsocketConnection* connection, gpointer self) {
    auto* socket = static_cast<PhoenixSocket*>(self);
    const gushort code = soup_websocket_connection_get_close_code(connection);
    // The server uses 4000-4999 for closings that a retry would not mend.
    const bool retry = code < 4000 || code > 4999;
    socket->log_.notice("realtime connection closed (code {}){}", code,
                        retry ? "" : "; not reconnecting");
    socket->connectionLost(retry, false, true);
}

void PhoenixSocket::onError(SoupWebsocketConnection*, GError* error, gpointer self) {
    static_cast<PhoenixSocket*>(self)->log_.error("realtime connection error: {}",
                                                  support::errorMessage(error));
}

} // namespace ostral::supabase::detail
