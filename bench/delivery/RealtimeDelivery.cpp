// How long a row inserted into live_calls takes to reach a subscribed realtime channel: our
// client and the official JavaScript client, subscribed to the same table in the same run on the
// running local backend (OSTRAL_DEVSTACK_ENV names its env file; scripts/bench starts one).
//
//     realtime_delivery_bench [inserts=200] [gap-ms=20]
//
// Each insert is timed from just before the INSERT statement is sent to the moment the record
// is handed to the subscriber's code: our channel's stream yields it, or the JavaScript
// client's callback runs (the peer stamps that with the wall clock; both processes share it).
#include <Supabase/Client.h>
#include <Supabase/SessionStore.h>
#include <Support/GObjectPtr.h>
#include <Support/MainContext.h>
#include <Support/Task.h>

#include <DevstackEnv.h>
#include <gio/gio.h>
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace ostral;
using Json = nlohmann::json;

double wallClockMs() {
    return static_cast<double>(g_get_real_time()) / 1000.0;
}

struct Percentiles {
    double p50 = 0;
    double p95 = 0;
    double max = 0;
};

Percentiles percentiles(std::vector<double> values) {
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        const auto index =
            static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
        return values[std::min(index, values.size() - 1)];
    };
    return {at(0.50), at(0.95), values.back()};
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "realtime_delivery_bench: %s\n", message.c_str());
    std::exit(1);
}

// The JavaScript peer: signs in, subscribes, then reports each INSERT it receives.
class JsPeer {
public:
    JsPeer(const devstack::DevstackEnv& env, const std::string& email,
           const std::string& password) {
        const std::string script =
            std::string(OSTRAL_SOURCE_DIR) + "/devstack/conformance/peer.mjs";
        const Json steps = Json::array({
            {{"op", "signIn"}, {"email", email}, {"password", password}},
            {{"op", "subscribe"}, {"table", "live_calls"}, {"event", "INSERT"}},
            {{"op", "watch"}},
        });
        support::GObjectPtr<GSubprocessLauncher> launcher(
            g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
                G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE)),
            support::kAdopt);
        g_subprocess_launcher_setenv(launcher.get(), "OSTRAL_DEVSTACK_URL",
                                     env.get("OSTRAL_DEVSTACK_URL").c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher.get(), "OSTRAL_DEVSTACK_ANON_KEY",
                                     env.get("OSTRAL_DEVSTACK_ANON_KEY").c_str(), TRUE);
        const std::string stepsText = steps.dump();
        GError* error = nullptr;
        process_.reset(g_subprocess_launcher_spawn(launcher.get(), &error, "node", script.c_str(),
                                                   stepsText.c_str(), nullptr),
                       support::kAdopt);
        if (!process_) {
            fail(std::string("cannot start node: ") + error->message);
        }
        out_.reset(g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_.get())),
                   support::kAdopt);
    }

    // Blocks until the peer prints the line of `op`; fails on an error line.
    Json waitFor(const std::string& op) {
        while (true) {
            std::optional<Json> line = readLine();
            if (!line) {
                fail("the JavaScript peer ended before " + op);
            }
            if (line->contains("error")) {
                fail("the JavaScript peer failed: " + line->dump());
            }
            if (line->value("op", "") == op) {
                return *line;
            }
        }
    }

    // Closes the peer's input (it stops watching) and collects the receive times by call id.
    std::map<std::string, double> finish() {
        g_output_stream_close(g_subprocess_get_stdin_pipe(process_.get()), nullptr, nullptr);
        std::map<std::string, double> received;
        while (std::optional<Json> line = readLine()) {
            if (line->value("op", "") == "change" && (*line)["id"].is_string() &&
                (*line)["receivedAt"].is_number()) {
                received[(*line)["id"].get<std::string>()] = (*line)["receivedAt"].get<double>();
            }
        }
        g_subprocess_wait(process_.get(), nullptr, nullptr);
        return received;
    }

private:
    std::optional<Json> readLine() {
        gsize length = 0;
        support::GCharPtr text(
            g_data_input_stream_read_line_utf8(out_.get(), &length, nullptr, nullptr));
        if (!text) {
            return std::nullopt;
        }
        Json line = Json::parse(text.get(), nullptr, false);
        return line.is_discarded() ? Json::object() : line;
    }

    support::GObjectPtr<GSubprocess> process_;
    support::GObjectPtr<GDataInputStream> out_;
};

support::Task<void> signInAndSubscribe(std::shared_ptr<supabase::Client> client,
                                       std::shared_ptr<supabase::RealtimeChannel> channel,
                                       std::string email, std::string password, bool* done,
                                       std::string* failure) {
    auto session = co_await client->auth().signIn(email, password);
    if (!session) {
        *failure = "sign-in failed: " + session.error().description();
        *done = true;
        co_return;
    }
    auto joined = co_await channel->subscribeWithError();
    if (!joined) {
        *failure = "subscribe failed: " + joined.error().description();
    }
    *done = true;
}

support::Task<void> collect(support::AsyncStream<supabase::PostgresChange> inserts,
                            std::map<std::string, double>* received) {
    while (auto change = co_await inserts.next()) {
        const double now = wallClockMs();
        if (change->record.contains("id") && change->record["id"].is_string()) {
            (*received)[change->record["id"].get<std::string>()] = now;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const int inserts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int gapMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 20;
    const auto env = devstack::DevstackEnv::load();
    if (!env) {
        fail("OSTRAL_DEVSTACK_ENV must name the env file of a running local backend");
    }
    const std::string email = "dispatch.lead@ostral.test";
    const std::string password = "ostral-demo";

    PGconn* db = PQconnectdb(env->get("OSTRAL_DEVSTACK_PG").c_str());
    if (PQstatus(db) != CONNECTION_OK) {
        fail(std::string("cannot reach the database: ") + PQerrorMessage(db));
    }

    supabase::ClientOptions options;
    options.auth.sessionStore = std::make_shared<supabase::MemorySessionStore>();
    auto client = supabase::Client::create(env->get("OSTRAL_DEVSTACK_URL"),
                                           env->get("OSTRAL_DEVSTACK_ANON_KEY"), options);
    auto channel = client->channel("delivery-bench");
    std::map<std::string, double> ours;
    auto collector = support::spawn(collect(
        channel->postgresChange(supabase::PostgresAction::insert, "public", "live_calls"), &ours));
    bool subscribed = false;
    std::string failure;
    support::spawn(signInAndSubscribe(client, channel, email, password, &subscribed, &failure));
    if (!support::iterateUntil([&] { return subscribed; }, std::chrono::seconds(20)) ||
        !failure.empty()) {
        fail(failure.empty() ? "our client did not subscribe" : failure);
    }

    JsPeer peer(*env, email, password);
    peer.waitFor("watch");

    std::map<std::string, double> sentAt;
    for (int i = 0; i < inserts; ++i) {
        const double before = wallClockMs();
        PGresult* result = PQexec(db, "INSERT INTO public.live_calls (line, caller_number) "
                                      "VALUES ('test', '+15555550100') RETURNING id");
        if (PQresultStatus(result) != PGRES_TUPLES_OK) {
            fail(std::string("insert failed: ") + PQerrorMessage(db));
        }
        const std::string id = PQgetvalue(result, 0, 0);
        PQclear(result);
        sentAt[id] = before;
        support::iterateUntil([&] { return ours.count(id) > 0; }, std::chrono::seconds(5));
        const double pause = wallClockMs() + gapMs;
        support::iterateUntil([&] { return wallClockMs() >= pause; },
                              std::chrono::milliseconds(gapMs + 5));
    }
    // Let the peer's last deliveries arrive before it stops watching.
    const double settle = wallClockMs() + 500;
    support::iterateUntil([&] { return wallClockMs() >= settle; }, std::chrono::seconds(1));
    const std::map<std::string, double> theirs = peer.finish();

    std::vector<double> ourLatency;
    std::vector<double> theirLatency;
    for (const auto& [id, before] : sentAt) {
        if (auto found = ours.find(id); found != ours.end()) {
            ourLatency.push_back(found->second - before);
        }
        if (auto found = theirs.find(id); found != theirs.end()) {
            theirLatency.push_back(found->second - before);
        }
    }
    PQexec(db, "UPDATE public.live_calls SET ended_at = now() WHERE ended_at IS NULL AND "
               "caller_number = '+15555550100'");
    PQfinish(db);

    const Percentiles a = percentiles(ourLatency);
    const Percentiles b = percentiles(theirLatency);
    std::printf("insert -> delivery on loopback, %d inserts, %d ms apart\n", inserts, gapMs);
    std::printf("%-28s %9s %9s %9s %9s\n", "subscriber", "received", "p50 ms", "p95 ms", "max ms");
    std::printf("%-28s %9zu %9.2f %9.2f %9.2f\n", "ours (Supabase/)", ourLatency.size(), a.p50,
                a.p95, a.max);
    std::printf("%-28s %9zu %9.2f %9.2f %9.2f\n", "supabase-js 2.109.0 (Node)", theirLatency.size(),
                b.p50, b.p95, b.max);
    collector.cancel();
    return ourLatency.size() == sentAt.size() && theirLatency.size() == sentAt.size() ? 0 : 1;
}
