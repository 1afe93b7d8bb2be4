#include <Supabase/Client.h>

namespace ostral::supabase {

namespace {

const support::Clock& systemClock() {
    static const support::SystemClock clock;
    return clock;
}

std::string withoutTrailingSlash(std::string url) {
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    return url;
}

} // namespace

std::shared_ptr<Client> Client::create(std::string url, std::string anonKey,
                                       const ClientOptions& options) {
    auto client =
        std::make_shared<Client>(PrivateTag{}, std::move(url), std::move(anonKey), options);
    if (options.auth.autoRefreshToken) {
        client->auth_->startAutoRefresh();
    }
    return client;
}

Client::Client(PrivateTag, std::string url, std::string anonKey, const ClientOptions& options)
    : url_(withoutTrailingSlash(std::move(url)))
    , anonKey_(std::move(anonKey))
    , ownTimers_(options.timers ? nullptr : std::make_unique<support::MainLoopTimerSource>())
    , clock_(options.clock ? options.clock : &systemClock())
    , timers_(options.timers ? options.timers : ownTimers_.get())
    , disconnectOnSessionLoss_(options.realtime.disconnectOnSessionLoss)
    , http_(std::make_shared<HttpClient>(options.http))
    , auth_(std::make_shared<AuthClient>(url_, anonKey_, http_, options.auth, *clock_, *timers_))
    , rest_(std::make_shared<const detail::RestContext>(
          detail::RestContext{url_ + "/rest/v1", anonKey_, http_, auth_}))
    , realtime_(std::make_unique<RealtimeClient>(url_, anonKey_, options.realtime, *timers_,
                                                 *clock_, http_->session())) {
    auth_->setEventObserver(
        [this](const AuthStateChange& change) { followSessionInRealtime(change); });
}

Client::~Client() {
    // The auth client may outlive this object while one of its calls runs.
    auth_->setEventObserver(nullptr);
    auth_->stopAutoRefresh();
}

void Client::followSessionInRealtime(const AuthStateChange& change) {
    switch (change.event) {
    case AuthChangeEvent::initialSession:
    case AuthChangeEvent::signedIn:
    case AuthChangeEvent::tokenRefreshed:
        if (change.session) {
            realtime_->setAuth(change.session->accessToken);
        }
        break;
    case AuthChangeEvent::signedOut:
        realtime_->setAuth(std::nullopt);
        if (disconnectOnSessionLoss_) {
            realtime_->disconnect();
        }
        break;
    default:
        break;
    }
}

PostgrestQuery Client::from(std::string table) const {
    return PostgrestQuery(rest_, std::move(table));
}

support::Task<Result<nlohmann::json>>
Client::rpc(const std::string& function, const std::optional<nlohmann::json>& params) const {
    return sendRestRequest(rest_, rpcRequest(*rest_, function, params));
}

std::shared_ptr<RealtimeChannel> Client::channel(std::string name) {
    return realtime_->channel(std::move(name));
}

support::Task<void> Client::removeChannel(std::shared_ptr<RealtimeChannel> channel) {
    return realtime_->removeChannel(std::move(channel));
}

} // namespace ostral::supabase
