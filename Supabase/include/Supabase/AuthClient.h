#pragma once

#include <Supabase/Error.h>
#include <Supabase/HttpClient.h>
#include <Supabase/Session.h>
#include <Supabase/SessionStore.h>
#include <Support/AsyncStream.h>
#include <Support/Clock.h>
#include <Support/Log.h>
#include <Support/Promise.h>
#include <Support/Task.h>
#include <Support/Timer.h>
#include <Support/TimerSource.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The auth service client (<url>/auth/v1): password sign-in, token refresh, adopting tokens,
// local sign-out, the stored session and the stream of auth state changes.
namespace ostral::supabase {

struct AuthOptions {
    // Where the session is kept between launches; nullptr: makeDefaultSessionStore().
    std::shared_ptr<SessionStore> sessionStore;
    // The key of the stored session; empty: defaultStorageKey(url).
    std::string storageKey;
    // Whether the 30-second refresh ticker runs from construction on (Client::create starts it).
    bool autoRefreshToken = false;
    // Whether start-up reports the stored session as it is (even expired, refreshing it in the
    // background) instead of reporting only a session that a refresh has just confirmed.
    bool emitLocalSessionAsInitialSession = false;
};

// "sb-<first label of the URL's host>-auth-token", the key the portal's web client uses.
std::string defaultStorageKey(const std::string& url);

// Everything runs on the main thread. Every call holds the client while it runs.
//
// Start-up happens once, at the first authStateChanges() call or at initialize(): the stored
// session is loaded and refreshed. A refresh that succeeds emits tokenRefreshed, then
// initialSession with the new session. One that fails for want of network (or for a server
// error) emits initialSession without a session and keeps the stored tokens, which
// currentSession() still returns. One whose refresh token the server rejects deletes the stored
// session and emits initialSession without a session.
class AuthClient : public std::enable_shared_from_this<AuthClient> {
public:
    // `url` is the project's base URL (http(s)://host[:port]); `apiKey` the anon key. The clock
    // and timers must outlive the client.
    AuthClient(std::string url, std::string apiKey, std::shared_ptr<HttpClient> http,
               AuthOptions options, const support::Clock& clock, support::TimerSource& timers);
    ~AuthClient();
    AuthClient(const AuthClient&) = delete;
    AuthClient& operator=(const AuthClient&) = delete;

    // Runs start-up (see above) unless it has run or is running; resolves when it has ended.
    support::Task<void> initialize();

    // POST /token?grant_type=password. Success stores the session and emits signedIn.
    support::Task<Result<Session>> signIn(std::string email, std::string password);
    // POST /token?grant_type=refresh_token with the given token, or the stored session's.
    // Success stores the new session and emits tokenRefreshed. A token the server rejects
    // (isRefreshTokenRejected) deletes the stored session it belonged to, and emits signedOut
    // when a session had been reported. Concurrent refreshes of one token share one request.
    support::Task<Result<Session>> refreshSession(std::optional<std::string> refreshToken = {});
    // Adopts a pair of tokens: an access token that has not expired is checked with GET /user,
    // an expired one is replaced through a refresh. Success stores the session and emits
    // signedIn. An access token without a readable "exp" claim is refused.
    support::Task<Result<Session>> setSession(std::string accessToken, std::string refreshToken);
    // POST /logout?scope=local. The local session is removed and signedOut emitted whatever the
    // server says; its error is returned unless it is 401, 403 or 404 (the session is gone
    // there already).
    support::Task<Result<void>> signOut();

    // The stored session as last loaded or written; no network use. Empty before the store has
    // been read (start-up, or any call above, reads it).
    std::optional<Session> currentSession() const { return current_; }
    // A session valid now: the stored one, refreshed when isExpired(). sessionMissing when none
    // is stored.
    support::Task<Result<Session>> session();

    // A stream that begins with initialSession for the current state (after start-up, which
    // this starts when needed) and then gets every later event.
    support::AsyncStream<AuthStateChange> authStateChanges();

    // Every 30 seconds (and once at once), refreshes the stored session when 90 seconds or less
    // of it remain.
    void startAutoRefresh();
    void stopAutoRefresh();
    bool isAutoRefreshing() const noexcept { return ticker_.isRunning(); }

    // Called with every event as it is emitted; initialSession once, when start-up ends.
    void setEventObserver(std::function<void(const AuthStateChange&)> observer);

    const std::string& storageKey() const noexcept { return storageKey_; }

private:
    struct Subscriber {
        support::AsyncStream<AuthStateChange> stream;
        bool initialSent = false;
    };

    double now() const;
    HttpRequest request(std::string method, const std::string& pathAndQuery,
                        const std::optional<std::string>& bearer,
                        std::optional<std::string> body) const;

    support::Task<void> ensureLoaded();
    support::Task<void> loadStored(support::Promise<bool> done);
    void startInitialization();
    support::Task<void> runStartup(support::Promise<bool> done);
    support::Task<Result<Session>> sharedRefresh(std::string refreshToken);
    support::Task<void> runRefresh(std::string refreshToken,
                                   support::Promise<Result<Session>> done);
    support::Task<void> saveSession(Session session);
    support::Task<void> removeSession();
    support::Task<void> autoRefreshTick();
    void keep(support::TaskHandle task);
    void emit(AuthChangeEvent event, std::optional<Session> session);

    std::string authUrl_;
    std::string apiKey_;
    std::shared_ptr<HttpClient> http_;
    std::shared_ptr<SessionStore> store_;
    std::string storageKey_;
    bool emitLocalSessionAsInitialSession_;
    const support::Clock& clock_;
    support::TimerSource& timers_;
    support::Logger log_{support::kAppSubsystem, "auth"};

    std::optional<Session> current_;
    // Counts sign-ins, adoptions and sign-outs, so that a refresh that ends after one of them
    // does not bring back the session it replaced.
    std::uint64_t generation_ = 0;
    std::optional<support::Promise<bool>> loaded_;
    std::optional<support::Promise<bool>> started_;
    bool initialized_ = false;
    // The session the last emitted event carried (what a new stream's initialSession reports).
    std::optional<Session> reported_;
    std::map<std::string, support::Promise<Result<Session>>> refreshing_;
    std::vector<Subscriber> subscribers_;
    std::function<void(const AuthStateChange&)> observer_;
    support::RepeatingTimer ticker_;
    support::ScopedTask tickTask_;
    std::vector<support::ScopedTask> tasks_;
};

} // namespace ostral::supabase
