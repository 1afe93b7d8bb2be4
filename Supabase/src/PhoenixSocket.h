#pragma once

#include <Supabase/Realtime.h>
#include <Supabase/RealtimeFrame.h>
#include <Support/Clock.h>
#include <Support/GObjectPtr.h>
#include <Support/Log.h>
#include <Support/Task.h>
#include <Support/Timer.h>
#include <Support/TimerSource.h>

#include <libsoup/soup.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ostral::supabase::detail {

// The one WebSocket of a RealtimeClient: opens it, keeps it alive with heartbeats, reopens it
// with back-off after a loss, hands each frame to the channel of its topic and tells every
// channel when the connection opens or goes.
class PhoenixSocket : public std::enable_shared_from_this<PhoenixSocket> {
public:
    PhoenixSocket(std::string baseUrl, std::string apiKey, RealtimeOptions options,
                  support::TimerSource& timers, const support::Clock& clock,
                  support::GObjectPtr<SoupSession> session);
    ~PhoenixSocket();
    PhoenixSocket(const PhoenixSocket&) = delete;
    PhoenixSocket& operator=(const PhoenixSocket&) = delete;

    std::shared_ptr<RealtimeChannel> channel(std::string name);
    // Drops a removed channel; with none left, schedules the idle disconnect.
    void forget(const std::shared_ptr<RealtimeChannel>& channel);
    // Drops every channel and disconnects at once.
    void forgetAll();
    const std::vector<std::shared_ptr<RealtimeChannel>>& channels() const noexcept {
        return channels_;
    }

    void connect();
    void disconnect();
    bool isOpen() const noexcept { return state_ == State::open; }

    // Sends a frame; false when the connection is not open.
    bool push(const PhoenixMessage& message);
    std::string makeRef();

    void setAuth(std::optional<std::string> accessToken);
    const std::optional<std::string>& accessToken() const noexcept { return accessToken_; }

    const RealtimeOptions& options() const noexcept { return options_; }
    support::TimerSource& timers() const noexcept { return timers_; }
    const std::string& url() const noexcept { return url_; }
    const support::Logger& log() const noexcept { return log_; }

    // The delay before reconnect attempt `attempt` (1-based): the base doubled each time, held to
    // 30 seconds (or to the base when that is longer).
    static std::chrono::milliseconds reconnectDelay(std::chrono::milliseconds base, int attempt);

private:
    enum class State { closed, connecting, open };

    support::Task<void> openConnection();
    void startConnecting();
    void connectionOpened(support::GObjectPtr<SoupWebsocketConnection> connection);
    // Forgets the connection (closing it when it is still open) and tells the channels.
    // `fromSignal`: called from one of the connection's own signal handlers.
    void connectionLost(bool reconnect, bool byUser, bool fromSignal = false);
    void dropConnection(unsigned short closeCode, const char* reason, bool fromSignal);
    void scheduleReconnect();
    void heartbeat();
    void handleText(std::string_view text);

    static void onMessage(SoupWebsocketConnection* connection, gint type, GBytes* message,
                          gpointer self);
    static void onClosed(SoupWebsocketConnection* connection, gpointer self);
    static void onError(SoupWebsocketConnection* connection, GError* error, gpointer self);

    std::string url_;
    std::string apiKey_;
    RealtimeOptions options_;
    support::TimerSource& timers_;
    const support::Clock& clock_;
    support::GObjectPtr<SoupSession> session_;
    support::Logger log_{support::kAppSubsystem, "realtime"};

    State state_ = State::closed;
    support::GObjectPtr<SoupWebsocketConnection> connection_;
    // The connection lost last, while its own signal handler ran.
    support::GObjectPtr<SoupWebsocketConnection> retired_;
    support::ScopedTask connectTask_;
    support::Timer connectTimeout_;
    support::Timer reconnectTimer_;
    support::Timer idleDisconnect_;
    support::RepeatingTimer heartbeatTimer_;
    int reconnectAttempts_ = 0;
    // Set by disconnect(), cleared by connect(): no reconnecting in between.
    bool stopped_ = false;
    std::uint64_t lastRef_ = 0;
    std::optional<std::string> pendingHeartbeat_;
    std::optional<std::string> accessToken_;
    std::vector<std::shared_ptr<RealtimeChannel>> channels_;
    std::set<FrameProblem> loggedProblems_;
    bool loggedBinary_ = false;
};

// The WebSocket URL for a backend base URL: http→ws, https→wss, then /realtime/v1/websocket with
// the API key and the protocol version.
std::string realtimeWebsocketUrl(std::string baseUrl, const std::string& apiKey);

} // namespace ostral::supabase::detail
