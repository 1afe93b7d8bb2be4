#pragma once

#include <Supabase/AuthClient.h>
#include <Supabase/Error.h>
#include <Supabase/HttpClient.h>
#include <Supabase/PostgrestQuery.h>
#include <Supabase/Realtime.h>
#include <Support/Clock.h>
#include <Support/Task.h>
#include <Support/TimerSource.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// The backend client: auth, tables and database functions, and realtime channels of one
// project, over one HTTP session. One per process; everything on the main thread.
namespace ostral::supabase {

struct ClientOptions {
    AuthOptions auth;
    RealtimeOptions realtime;
    HttpOptions http;
    // Where time comes from; nullptr: the system clock and the main loop. Tests inject a
    // VirtualTime. Both must outlive the client.
    const support::Clock* clock = nullptr;
    support::TimerSource* timers = nullptr;
};

class Client {
    struct PrivateTag {};

public:
    // `url` is the project's base URL (http(s)://host[:port], no path), `anonKey` its public key.
    static std::shared_ptr<Client> create(std::string url, std::string anonKey,
                                          const ClientOptions& options = {});

    Client(PrivateTag, std::string url, std::string anonKey, const ClientOptions& options);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    AuthClient& auth() { return *auth_; }
    const std::shared_ptr<AuthClient>& authClient() const { return auth_; }

    PostgrestQuery from(std::string table) const;
    support::Task<Result<nlohmann::json>>
    rpc(const std::string& function, const std::optional<nlohmann::json>& params = {}) const;

    RealtimeClient& realtime() { return *realtime_; }
    std::shared_ptr<RealtimeChannel> channel(std::string name);
    support::Task<void> removeChannel(std::shared_ptr<RealtimeChannel> channel);

    const std::string& url() const noexcept { return url_; }
    const std::string& anonKey() const noexcept { return anonKey_; }

private:
    // Passes the user's access token to realtime as sessions come and go.
    void followSessionInRealtime(const AuthStateChange& change);

    std::string url_;
    std::string anonKey_;
    std::unique_ptr<support::TimerSource> ownTimers_;
    const support::Clock* clock_;
    support::TimerSource* timers_;
    bool disconnectOnSessionLoss_;
    std::shared_ptr<HttpClient> http_;
    std::shared_ptr<AuthClient> auth_;
    std::shared_ptr<const detail::RestContext> rest_;
    std::unique_ptr<RealtimeClient> realtime_;
};

} // namespace ostral::supabase
