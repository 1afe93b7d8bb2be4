#include "Await.h"
#include "FakeAuthServer.h"

#include <Supabase/AuthClient.h>
#include <Supabase/Client.h>
#include <Support/MainContext.h>
#include <Support/VirtualTime.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostral::supabase {
namespace {

using namespace std::chrono_literals;
using testing::await;
using testing::FakeAuthServer;

constexpr const char* kKey = "sb-127-auth-token";

// Collects what a stream delivers, from a task of its own.
struct EventLog {
    std::vector<AuthStateChange> changes;

    std::vector<AuthChangeEvent> events() const {
        std::vector<AuthChangeEvent> result;
        for (const auto& change : changes) {
            result.push_back(change.event);
        }
        return result;
    }
};

support::Task<void> follow(support::AsyncStream<AuthStateChange> stream, EventLog& log) {
    while (auto change = co_await stream.next()) {
        log.changes.push_back(*change);
    }
}

class AuthClientTest : public ::testing::Test {
protected:
    AuthClientTest()
        : server_([this] { return nowSeconds(); }) {}

    double nowSeconds() const {
        return std::chrono::duration<double>(time_.now().time_since_epoch()).count();
    }

    std::shared_ptr<AuthClient> makeClient(const std::string& url) {
        AuthOptions options;
        options.sessionStore = store_;
        options.storageKey = kKey;
        return std::make_shared<AuthClient>(url, "anon-key", std::make_shared<HttpClient>(),
                                            options, time_, time_);
    }

    void storeSession(const nlohmann::json& session) { store_->values[kKey] = session.dump(); }
    std::optional<Session> storedSession() const {
        const auto found = store_->values.find(kKey);
        if (found == store_->values.end()) {
            return std::nullopt;
        }
        return Session::fromJsonText(found->second);
    }

    // Follows the client's stream until `count` changes have arrived (or a short while passed).
    void followUntil(AuthClient& client, EventLog& log, std::size_t count) {
        followers_.emplace_back(support::spawn(follow(client.authStateChanges(), log)));
        support::iterateUntil([&] { return log.changes.size() >= count; }, 5s);
    }

    support::ThreadDefaultContext context_;
    support::VirtualTime time_;
    std::shared_ptr<MemorySessionStore> store_ = std::make_shared<MemorySessionStore>();
    FakeAuthServer server_;
    std::vector<support::ScopedTask> followers_;
};

TEST_F(AuthClientTest, StartUpRefreshesTheStoredSessionAndReportsTheNewOne) {
    const nlohmann::json stored = server_.issueSession();
    storeSession(stored);
    auto client = makeClient(server_.url());

    EventLog log;
    followUntil(*client, log, 2);

    ASSERT_EQ(log.events(),
              (std::vector{AuthChangeEvent::tokenRefreshed, AuthChangeEvent::initialSession}));
    ASSERT_TRUE(log.changes[1].session);
    EXPECT_EQ(log.changes[1].session->refreshToken, "refresh-2");
    EXPECT_EQ(log.changes[0].session, log.changes[1].session);
    EXPECT_EQ(storedSession(), log.changes[1].session);
    EXPECT_EQ(client->currentSession(), log.changes[1].session);
    EXPECT_EQ(server_.count("POST", "/auth/v1/token"), 1);
}

TEST_F(AuthClientTest, StartUpWithoutNetworkReportsNoSessionAndKeepsTheStoredOne) {
    const nlohmann::json stored = server_.issueSession();
    storeSession(stored);
    server_.stop();
    auto client = makeClient(server_.url());

    EventLog log;
    followUntil(*client, log, 1);

    ASSERT_EQ(log.events(), (std::vector{AuthChangeEvent::initialSession}));
    EXPECT_FALSE(log.changes[0].session);
    ASSERT_TRUE(client->currentSession());
    EXPECT_EQ(client->currentSession()->refreshToken, stored["refresh_token"]);
    EXPECT_EQ(storedSession(), client->currentSession());

    const auto session = await(client->session());
    ASSERT_TRUE(session && *session) << "an unexpired stored session needs no network";
    EXPECT_EQ(session->value(), *client->currentSession());
}

TEST_F(AuthClientTest, StartUpWithARejectedRefreshTokenDeletesTheStoredSession) {
    for (const char* code : {"refresh_token_not_found", "refresh_token_already_used",
                             "session_not_found", "session_expired"}) {
        SCOPED_TRACE(code);
        server_.refreshReply = FakeAuthServer::RefreshReply::reject;
        server_.rejectCode = code;
        storeSession(server_.issueSession());
        auto client = makeClient(server_.url());

        EventLog log;
        followUntil(*client, log, 1);
        support::runPending();

        EXPECT_EQ(log.events(), (std::vector{AuthChangeEvent::initialSession}))
            << "no signedOut: no session had been reported";
        EXPECT_FALSE(log.changes.at(0).session);
        EXPECT_FALSE(client->currentSession());
        EXPECT_FALSE(storedSession());
        followers_.clear();
    }
}

TEST_F(AuthClientTest, AServerErrorAtStartUpKeepsTheStoredSession) {
    server_.refreshReply = FakeAuthServer::RefreshReply::serverError;
    storeSession(server_.issueSession());
    auto client = makeClient(server_.url());

    EventLog log;
    followUntil(*client, log, 1);

    EXPECT_FALSE(log.changes.at(0).session);
    EXPECT_TRUE(storedSession());
    EXPECT_TRUE(client->currentSession());
}

TEST_F(AuthClientTest, EveryStreamBeginsWithTheCurrentState) {
    auto client = makeClient(server_.url());
    EventLog first;
    followUntil(*client, first, 1);
    ASSERT_EQ(first.events(), (std::vector{AuthChangeEvent::initialSession}));
    EXPECT_FALSE(first.changes[0].session);
    EXPECT_TRUE(server_.requests.empty()) << "nothing stored, nothing to refresh";

    const auto signedIn = await(client->signIn(server_.email, server_.password));
    ASSERT_TRUE(signedIn && *signedIn);
    support::runPending();

    EventLog second;
    followUntil(*client, second, 1);
    ASSERT_EQ(second.events(), (std::vector{AuthChangeEvent::initialSession}));
    EXPECT_EQ(second.changes[0].session, signedIn->value());
    EXPECT_EQ(first.events(),
              (std::vector{AuthChangeEvent::initialSession, AuthChangeEvent::signedIn}));
}

TEST_F(AuthClientTest, SignInStoresTheSessionOrReportsTheAuthError) {
    auto client = makeClient(server_.url());

    const auto rejected = await(client->signIn(server_.email, "wrong"));
    ASSERT_TRUE(rejected && !*rejected);
    EXPECT_EQ(rejected->error().kind, Error::Kind::api);
    EXPECT_EQ(rejected->error().status, 400u);
    EXPECT_EQ(rejected->error().code, "invalid_credentials");
    EXPECT_FALSE(storedSession());

    const auto accepted = await(client->signIn(server_.email, server_.password));
    ASSERT_TRUE(accepted && *accepted);
    EXPECT_EQ((*accepted)->user.id, server_.userId);
    EXPECT_EQ(storedSession(), accepted->value());

    const auto& request = server_.requests.back();
    EXPECT_EQ(request.query, "grant_type=password");
    EXPECT_EQ(request.headers.at("apikey"), "anon-key");
    EXPECT_EQ(request.headers.at("Authorization"), "Bearer anon-key");
    EXPECT_EQ(request.headers.at("X-Supabase-Api-Version"), "2024-01-01");
    EXPECT_EQ(request.headers.at("X-Client-Info"), "ostral-admin-supabase/0.1");
}

TEST_F(AuthClientTest, ConcurrentCallersShareOneRefresh) {
    storeSession(server_.issueSession(10)); // expired: fewer than 30 seconds left
    auto client = makeClient(server_.url());

    std::optional<Result<Session>> first;
    std::optional<Result<Session>> second;
    const support::TaskHandle a = support::spawn(testing::captureInto(client->session(), first));
    const support::TaskHandle b = support::spawn(testing::captureInto(client->session(), second));
    support::iterateUntil([&] { return a.isDone() && b.isDone(); }, 5s);

    ASSERT_TRUE(first && *first);
    ASSERT_TRUE(second && *second);
    EXPECT_EQ(first->value(), second->value());
    EXPECT_EQ(server_.count("POST", "/auth/v1/token"), 1);
    EXPECT_EQ((*first)->refreshToken, "refresh-2");
}

TEST_F(AuthClientTest, ARefreshThatFailsAtOnceStillAnswersItsCaller) {
    storeSession(server_.issueSession(10));
    auto client = makeClient("http://[not a url");
    const auto session = await(client->session(), 2s);
    ASSERT_TRUE(session) << "the caller was left waiting";
    EXPECT_EQ(session->error().kind, Error::Kind::transport);
    EXPECT_TRUE(client->currentSession()) << "a failed request keeps the stored session";
}

TEST_F(AuthClientTest, AValidSessionIsReturnedWithoutARefresh) {
    storeSession(server_.issueSession(3600));
    auto client = makeClient(server_.url());
    const auto session = await(client->session());
    ASSERT_TRUE(session && *session);
    EXPECT_TRUE(server_.requests.empty());
    EXPECT_EQ(await(makeClient(server_.url())->session())->value(), session->value());

    store_->values.clear();
    const auto missing = await(makeClient(server_.url())->session());
    EXPECT_EQ(missing->error().kind, Error::Kind::sessionMissing);
}

TEST_F(AuthClientTest, TheTickerRefreshesWhenNinetySecondsOrLessRemain) {
    storeSession(server_.issueSession(200));
    auto client = makeClient(server_.url());
    client->startAutoRefresh();
    const auto refreshes = [&] { return server_.count("POST", "/auth/v1/token"); };
    const auto settle = [] { support::iterateUntil([] { return false; }, 150ms); };

    settle();
    EXPECT_EQ(refreshes(), 0) << "200 s left at start";
    time_.advance(90s);
    settle();
    EXPECT_EQ(refreshes(), 0) << "110 s left after three ticks";
    time_.advance(30s);
    support::iterateUntil([&] { return refreshes() == 1; }, 5s);
    EXPECT_EQ(refreshes(), 1) << "80 s left at the fourth tick";
    support::iterateUntil([&] { return client->currentSession()->refreshToken == "refresh-2"; },
                          5s);
    EXPECT_EQ(storedSession()->refreshToken, "refresh-2");

    client->stopAutoRefresh();
    time_.advance(3600s);
    settle();
    EXPECT_EQ(refreshes(), 1);
}

TEST_F(AuthClientTest, ARejectedRefreshAfterASessionWasReportedSignsOut) {
    storeSession(server_.issueSession());
    auto client = makeClient(server_.url());
    EventLog log;
    followUntil(*client, log, 2);
    ASSERT_TRUE(log.changes.back().session);

    server_.refreshReply = FakeAuthServer::RefreshReply::reject;
    const auto refreshed = await(client->refreshSession());
    ASSERT_TRUE(refreshed && !*refreshed);
    support::iterateUntil([&] { return log.changes.size() >= 3; }, 2s);
    EXPECT_EQ(log.events().back(), AuthChangeEvent::signedOut);
    EXPECT_FALSE(storedSession());
}

TEST_F(AuthClientTest, SetSessionChecksAFreshTokenAndRefreshesAnExpiredOne) {
    auto client = makeClient(server_.url());
    EventLog log;
    followUntil(*client, log, 1);

    const nlohmann::json fresh = server_.issueSession();
    const auto adopted = await(client->setSession(fresh["access_token"], fresh["refresh_token"]));
    ASSERT_TRUE(adopted && *adopted);
    EXPECT_EQ(server_.count("GET", "/auth/v1/user"), 1);
    EXPECT_EQ(server_.requests.back().headers.at("Authorization"),
              "Bearer " + fresh["access_token"].get<std::string>());
    EXPECT_EQ((*adopted)->accessToken, fresh["access_token"]);
    EXPECT_EQ((*adopted)->user.id, server_.userId);
    EXPECT_EQ(storedSession(), adopted->value());

    const nlohmann::json old = server_.issueSession(-60);
    const auto renewed = await(client->setSession(old["access_token"], old["refresh_token"]));
    ASSERT_TRUE(renewed && *renewed);
    EXPECT_EQ(server_.count("GET", "/auth/v1/user"), 1);
    EXPECT_NE((*renewed)->accessToken, old["access_token"]);
    support::iterateUntil([&] { return log.changes.size() >= 4; }, 2s);
    EXPECT_EQ(log.events(),
              (std::vector{AuthChangeEvent::initialSession, AuthChangeEvent::signedIn,
                           AuthChangeEvent::tokenRefreshed, AuthChangeEvent::signedIn}));

    const auto refused = await(client->setSession("not-a-jwt", "refresh"));
    EXPECT_EQ(refused->error().kind, Error::Kind::decoding);
}

TEST_F(AuthClientTest, SignOutForgetsTheSessionWhateverTheServerSays) {
    struct Case {
        const char* name;
        unsigned status;
        bool serverGone;
        bool succeeds;
    };
    const Case cases[] = {
        {"accepted", 204, false, true},
        {"already gone there", 404, false, true},
        {"token no longer valid", 401, false, true},
        {"server error", 500, false, false},
        {"no network", 204, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAuthServer server([this] { return nowSeconds(); });
        server.logoutStatus = c.status;
        store_->values[kKey] = server.issueSession().dump();
        auto client = makeClient(server.url());
        ASSERT_TRUE(await(client->session())->hasValue());
        EventLog log;
        followUntil(*client, log, 1);
        if (c.serverGone) {
            server.stop();
        }

        const auto outcome = await(client->signOut());
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->hasValue(), c.succeeds);
        EXPECT_FALSE(client->currentSession());
        EXPECT_FALSE(storedSession());
        support::iterateUntil(
            [&] { return log.changes.back().event == AuthChangeEvent::signedOut; }, 2s);
        EXPECT_EQ(log.events().back(), AuthChangeEvent::signedOut);
        if (!c.serverGone) {
            EXPECT_EQ(server.requests.back().query, "scope=local");
        }
        followers_.clear();
    }
}

TEST_F(AuthClientTest, TableRequestsCarryTheUsersTokenOrTheAnonKey) {
    ClientOptions options;
    options.auth.sessionStore = store_;
    options.auth.storageKey = kKey;
    options.clock = &time_;
    options.timers = &time_;
    auto client = Client::create(server_.url(), "anon-key", options);

    ASSERT_TRUE(await(client->from("profiles").select("portal_role").execute())->hasValue());
    EXPECT_EQ(server_.requests.back().headers.at("Authorization"), "Bearer anon-key");
    EXPECT_EQ(server_.requests.back().headers.at("apikey"), "anon-key");

    const auto session = await(client->auth().signIn(server_.email, server_.password));
    ASSERT_TRUE(session && *session);
    ASSERT_TRUE(await(client->from("profiles").select("portal_role").execute())->hasValue());
    EXPECT_EQ(server_.requests.back().headers.at("Authorization"),
              "Bearer " + (*session)->accessToken);
    EXPECT_EQ(client->realtime().accessToken(), (*session)->accessToken);

    ASSERT_TRUE(await(client->auth().signOut())->hasValue());
    EXPECT_EQ(client->realtime().accessToken(), std::nullopt);
}

} // namespace
} // namespace ostral::supabase
