#include "MakeError.h"

#include <Supabase/AuthClient.h>
#include <Supabase/Responses.h>

#include <fmt/format.h>
#include <glib.h>

#include <algorithm>
#include <chrono>

namespace ostral::supabase {

using support::Promise;
using support::Task;

namespace {

constexpr auto kTickInterval = std::chrono::seconds(30);
constexpr double kRefreshMargin = 90.0;

Error sessionMissing() {
    return makeError(Error::Kind::sessionMissing, "Auth session missing");
}

// Seconds as a whole number, held to a range no token lifetime comes near.
std::int64_t wholeSeconds(double seconds) {
    return static_cast<std::int64_t>(std::clamp(seconds, -1e12, 1e12));
}

} // namespace

std::string defaultStorageKey(const std::string& url) {
    std::string host;
    if (GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr)) {
        host = g_uri_get_host(uri) != nullptr ? g_uri_get_host(uri) : "";
        g_uri_unref(uri);
    }
    return "sb-" + host.substr(0, host.find('.')) + "-auth-token";
}

AuthClient::AuthClient(std::string url, std::string apiKey, std::shared_ptr<HttpClient> http,
                       AuthOptions options, const support::Clock& clock,
                       support::TimerSource& timers)
    : apiKey_(std::move(apiKey))
    , http_(std::move(http))
    , store_(options.sessionStore ? std::move(options.sessionStore) : makeDefaultSessionStore())
    , storageKey_(options.storageKey.empty() ? defaultStorageKey(url) : options.storageKey)
    , emitLocalSessionAsInitialSession_(options.emitLocalSessionAsInitialSession)
    , clock_(clock)
    , timers_(timers) {
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    authUrl_ = url + "/auth/v1";
}

AuthClient::~AuthClient() {
    for (Subscriber& subscriber : subscribers_) {
        subscriber.stream.finish();
    }
}

double AuthClient::now() const {
    return std::chrono::duration<double>(clock_.now().time_since_epoch()).count();
}

HttpRequest AuthClient::request(std::string method, const std::string& pathAndQuery,
                                const std::optional<std::string>& bearer,
                                std::optional<std::string> body) const {
    HttpRequest request;
    request.method = std::move(method);
    request.url = authUrl_ + pathAndQuery;
    request.headers = {
        {"apikey", apiKey_},
        {"Authorization", "Bearer " + bearer.value_or(apiKey_)},
        {"X-Client-Info", "ostral-admin-supabase/0.1"},
        {"X-Supabase-Api-Version", "2024-01-01"},
        {"Accept", "application/json"},
    };
    if (body) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = std::move(body);
    }
    return request;
}

void AuthClient::keep(support::TaskHandle task) {
    std::erase_if(tasks_, [](const support::ScopedTask& kept) { return kept.isDone(); });
    if (!task.isDone()) {
        tasks_.emplace_back(std::move(task));
    }
}

// --- loading and start-up ---

Task<void> AuthClient::ensureLoaded() {
    if (!loaded_) {
        loaded_.emplace();
        keep(support::spawn(weak_from_this(), loadStored(*loaded_)));
    }
    const Promise<bool> loaded = *loaded_;
    co_await loaded.value();
}

Task<void> AuthClient::loadStored(Promise<bool> done) {
    const std::uint64_t generation = generation_;
    Result<std::optional<std::string>> stored = co_await store_->load(storageKey_);
    if (!stored) {
        log_.error("the stored session cannot be read: {}", stored.error().description());
    } else if (stored->has_value()) {
        auto session = Session::fromJsonText(**stored);
        if (!session) {
            log_.error("the stored session is not valid; it is removed");
            co_await store_->remove(storageKey_);
        } else if (generation == generation_) {
            current_ = std::move(session);
        }
    }
    done.set(true);
}

void AuthClient::startInitialization() {
    if (!started_) {
        started_.emplace();
        keep(support::spawn(weak_from_this(), runStartup(*started_)));
    }
}

Task<void> AuthClient::initialize() {
    const auto self = shared_from_this();
    startInitialization();
    const Promise<bool> started = *started_;
    co_await started.value();
}

Task<void> AuthClient::runStartup(Promise<bool> done) {
    co_await ensureLoaded();
    std::optional<Session> initial;
    if (current_ && emitLocalSessionAsInitialSession_) {
        initial = current_;
        if (current_->isExpired(now())) {
            keep(support::spawn(weak_from_this(), autoRefreshTick()));
        }
    } else if (current_) {
        const std::uint64_t generation = generation_;
        Result<Session> refreshed = co_await sharedRefresh(current_->refreshToken);
        if (generation != generation_) {
            // A sign-in or sign-out during the refresh has been reported already.
            initial = reported_;
        } else if (refreshed) {
            initial = std::move(*refreshed);
        } else if (!isRefreshTokenRejected(refreshed.error())) {
            log_.error("the stored session could not be refreshed at start-up: {}",
                       refreshed.error().description());
        }
    }
    initialized_ = true;
    reported_ = initial;
    const AuthStateChange change{AuthChangeEvent::initialSession, initial};
    for (Subscriber& subscriber : subscribers_) {
        if (!subscriber.initialSent) {
            subscriber.initialSent = true;
            subscriber.stream.push(change);
        }
    }
    if (observer_) {
        observer_(change);
    }
    done.set(true);
}

support::AsyncStream<AuthStateChange> AuthClient::authStateChanges() {
    Subscriber subscriber;
    if (initialized_) {
        subscriber.initialSent = true;
        subscriber.stream.push(AuthStateChange{AuthChangeEvent::initialSession, reported_});
    }
    subscribers_.push_back(subscriber);
    startInitialization();
    return subscriber.stream;
}

void AuthClient::setEventObserver(std::function<void(const AuthStateChange&)> observer) {
    observer_ = std::move(observer);
}

void AuthClient::emit(AuthChangeEvent event, std::optional<Session> session) {
    reported_ = session;
    const AuthStateChange change{event, std::move(session)};
    for (Subscriber& subscriber : subscribers_) {
        subscriber.stream.push(change);
    }
    if (observer_) {
        observer_(change);
    }
}

Task<void> AuthClient::saveSession(Session session) {
    current_ = session;
    const Result<void> stored = co_await store_->store(storageKey_, session.toJsonText());
    if (!stored) {
        log_.error("the session cannot be stored: {}", stored.error().description());
    }
}

Task<void> AuthClient::removeSession() {
    current_.reset();
    const Result<void> removed = co_await store_->remove(storageKey_);
    if (!removed) {
        log_.error("the stored session cannot be removed: {}", removed.error().description());
    }
}

// --- refresh ---

Task<Result<Session>> AuthClient::sharedRefresh(std::string refreshToken) {
    const auto found = refreshing_.find(refreshToken);
    if (found != refreshing_.end()) {
        const Promise<Result<Session>> done = found->second;
        co_return co_await done.value();
    }
    const Promise<Result<Session>> done;
    refreshing_.emplace(refreshToken, done);
    // The refresh may end before spawn() returns (a request that fails at once), and then it
    // has already left refreshing_.
    keep(support::spawn(weak_from_this(), runRefresh(refreshToken, done)));
    co_return co_await done.value();
}

Task<void> AuthClient::runRefresh(std::string refreshToken, Promise<Result<Session>> done) {
    const std::uint64_t generation = generation_;
    const nlohmann::json body{{"refresh_token", refreshToken}};
    Result<HttpResponse> response = co_await http_->send(
        request("POST", "/token?grant_type=refresh_token", std::nullopt, jsonText(body)));
    Result<Session> result = response ? readSessionResponse(*response, now())
                                      : Result<Session>(std::move(response).error());
    // A sign-in, adoption or sign-out meanwhile has replaced the session this refresh was for.
    const bool stillCurrent = generation == generation_;
    if (result && stillCurrent) {
        co_await saveSession(*result);
        emit(AuthChangeEvent::tokenRefreshed, *result);
    } else if (!result && stillCurrent && isRefreshTokenRejected(result.error()) && current_ &&
               current_->refreshToken == refreshToken) {
        log_.notice("the refresh token was rejected ({}); the stored session is removed",
                    result.error().code);
        ++generation_;
        co_await removeSession();
        if (reported_) {
            emit(AuthChangeEvent::signedOut, std::nullopt);
        }
    }
    refreshing_.erase(refreshToken);
    done.set(std::move(result));
}

Task<Result<Session>> AuthClient::refreshSession(std::optional<std::string> refreshToken) {
    const auto self = shared_from_this();
    co_await ensureLoaded();
    if (!refreshToken) {
        if (!current_) {
            co_return sessionMissing();
        }
        refreshToken = current_->refreshToken;
    }
    co_return co_await sharedRefresh(std::move(*refreshToken));
}

Task<Result<Session>> AuthClient::session() {
    const auto self = shared_from_this();
    co_await ensureLoaded();
    if (!current_) {
        co_return sessionMissing();
    }
    if (!current_->isExpired(now())) {
        co_return *current_;
    }
    co_return co_await sharedRefresh(current_->refreshToken);
}

// --- sign-in, adoption, sign-out ---

Task<Result<Session>> AuthClient::signIn(std::string email, std::string password) {
    const auto self = shared_from_this();
    co_await ensureLoaded();
    const nlohmann::json body{
        {"email", std::move(email)},
        {"password", std::move(password)},
        {"gotrue_meta_security", nlohmann::json::object()},
    };
    Result<HttpResponse> response = co_await http_->send(
        request("POST", "/token?grant_type=password", std::nullopt, jsonText(body)));
    if (!response) {
        co_return std::move(response).error();
    }
    Result<Session> session = readSessionResponse(*response, now());
    if (!session) {
        co_return session;
    }
    ++generation_;
    co_await saveSession(*session);
    emit(AuthChangeEvent::signedIn, *session);
    co_return session;
}

Task<Result<Session>> AuthClient::setSession(std::string accessToken, std::string refreshToken) {
    const auto self = shared_from_this();
    co_await ensureLoaded();
    const std::optional<double> expiresAt = jwtExpiry(accessToken);
    if (!expiresAt) {
        co_return makeError(Error::Kind::decoding, "The access token carries no expiry");
    }
    const double startedAt = now();
    Result<Session> session = sessionMissing();
    if (*expiresAt <= startedAt) {
        session = co_await sharedRefresh(refreshToken);
    } else {
        Result<HttpResponse> response =
            co_await http_->send(request("GET", "/user", accessToken, std::nullopt));
        if (!response) {
            co_return std::move(response).error();
        }
        Result<User> user = readUserResponse(*response);
        if (!user) {
            co_return std::move(user).error();
        }
        Session adopted;
        adopted.accessToken = std::move(accessToken);
        adopted.refreshToken = std::move(refreshToken);
        adopted.expiresIn = wholeSeconds(*expiresAt - startedAt);
        adopted.expiresAt = *expiresAt;
        adopted.user = std::move(*user);
        session = std::move(adopted);
    }
    if (!session) {
        co_return session;
    }
    ++generation_;
    co_await saveSession(*session);
    emit(AuthChangeEvent::signedIn, *session);
    co_return session;
}

Task<Result<void>> AuthClient::signOut() {
    const auto self = shared_from_this();
    co_await ensureLoaded();
    Result<void> outcome;
    if (current_) {
        Result<HttpResponse> response = co_await http_->send(
            request("POST", "/logout?scope=local", current_->accessToken, std::nullopt));
        if (!response) {
            outcome = std::move(response).error();
        } else if (!response->isSuccess() && response->status != 401 && response->status != 403 &&
                   response->status != 404) {
            outcome = authError(response->status, response->body);
        }
    }
    ++generation_;
    co_await removeSession();
    emit(AuthChangeEvent::signedOut, std::nullopt);
    co_return outcome;
}

// --- automatic refresh ---

void AuthClient::startAutoRefresh() {
    if (ticker_.isRunning()) {
        return;
    }
    auto tick = [this] {
        if (tickTask_.isDone()) {
            tickTask_ = support::spawn(weak_from_this(), autoRefreshTick());
        }
    };
    ticker_.start(timers_, kTickInterval, tick);
    tick();
}

void AuthClient::stopAutoRefresh() {
    ticker_.stop();
    tickTask_.cancel();
}

Task<void> AuthClient::autoRefreshTick() {
    co_await ensureLoaded();
    if (!current_ || current_->expiresAt - now() > kRefreshMargin) {
        co_return;
    }
    const Result<Session> refreshed = co_await sharedRefresh(current_->refreshToken);
    if (!refreshed) {
        log_.notice("automatic refresh failed: {}", refreshed.error().description());
    }
}

} // namespace ostral::supabase
