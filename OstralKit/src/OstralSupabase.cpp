#include <OstralKit/OstralConfig.h>
#include <OstralKit/OstralSupabase.h>
#include <Supabase/SessionStore.h>

#include <chrono>

namespace ostral::OstralSupabase {

supabase::ClientOptions clientOptions(bool useDefaults) {
    supabase::ClientOptions options;
    if (useDefaults) {
        // The library's defaults refresh tokens on their own from the start.
        options.auth.autoRefreshToken = true;
        return options;
    }
    options.auth.sessionStore = supabase::makeDefaultSessionStore();
    options.auth.storageKey = supabase::defaultStorageKey(OstralConfig::backendURL().text());
    options.auth.autoRefreshToken = false;
    options.auth.emitLocalSessionAsInitialSession = false;

    using std::chrono::seconds;
    options.realtime.heartbeatInterval = seconds(25);
    options.realtime.reconnectDelay = seconds(7);
    options.realtime.timeoutInterval = seconds(10);
    options.realtime.disconnectOnEmptyChannelsAfter = seconds(50);
    options.realtime.maxRetryAttempts = 5;
    options.realtime.connectOnSubscribe = true;
    options.realtime.disconnectOnSessionLoss = true;
    return options;
}

std::shared_ptr<supabase::Client> makeClient(bool useDefaults) {
    return supabase::Client::create(OstralConfig::backendURL().text(), OstralConfig::anonKey(),
                                    clientOptions(useDefaults));
}

} // namespace ostral::OstralSupabase
