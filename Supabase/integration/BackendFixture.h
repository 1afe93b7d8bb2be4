#pragma once

#include <Supabase/Client.h>
#include <Supabase/SessionStore.h>
#include <Support/MainContext.h>
#include <Support/Task.h>

#include <DevstackCli.h>
#include <DevstackEnv.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostral::supabase::integration {

template <typename T>
support::Task<void> captureInto(support::Task<T> task, std::optional<T>& out) {
    out.emplace(co_await std::move(task));
}

// Runs `task` on the thread-default main context until it ends; nullopt after `limit`.
template <typename T>
std::optional<T> await(support::Task<T> task,
                       std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    std::optional<T> out;
    const support::TaskHandle handle = support::spawn(captureInto(std::move(task), out));
    support::iterateUntil([&] { return handle.isDone(); }, limit);
    handle.cancel();
    return out;
}

inline support::Task<void> runToEnd(support::Task<void> task, bool& done) {
    co_await std::move(task);
    done = true;
}

// Runs `task` until it ends; false when it did not end within `limit`.
inline bool await(support::Task<void> task,
                  std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    bool done = false;
    const support::TaskHandle handle = support::spawn(runToEnd(std::move(task), done));
    support::iterateUntil([&] { return handle.isDone(); }, limit);
    handle.cancel();
    return done;
}

// The running local backend (from OSTRAL_DEVSTACK_ENV) and clients of it. Every test makes its
// own accounts, so tests can run side by side.
class BackendTest : public ::testing::Test {
protected:
    void SetUp() override;

    // A new staff account with the email emailOf(label); returns its id (lower-case).
    std::string addUser(const std::string& label, const std::string& password,
                        bool withRole = true);
    // Runs the devstack command line against the running backend; its standard output, trimmed.
    std::optional<std::string> devstack(const std::vector<std::string>& arguments);

    std::shared_ptr<Client> makeClient(std::shared_ptr<SessionStore> store = nullptr);
    // A client signed in as `email`.
    std::shared_ptr<Client> signedIn(const std::string& email, const std::string& password);

    // An email unique to this test run.
    std::string emailOf(const std::string& label) const;

    support::ThreadDefaultContext context_;
    std::optional<ostral::devstack::DevstackEnv> env_;
    std::string url_;
    std::string anonKey_;
    std::string runId_;
};

} // namespace ostral::supabase::integration
