#pragma once

#include <Support/MainContext.h>
#include <Support/Task.h>

#include <chrono>
#include <optional>
#include <utility>

namespace ostral::supabase::testing {

template <typename T>
support::Task<void> captureInto(support::Task<T> task, std::optional<T>& out) {
    out.emplace(co_await std::move(task));
}

// Runs `task` on the thread-default main context until it ends (real I/O included) and returns
// its result; nullopt when it did not end within `limit`.
template <typename T>
std::optional<T> await(support::Task<T> task,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::optional<T> out;
    const support::TaskHandle handle = support::spawn(captureInto(std::move(task), out));
    support::iterateUntil([&] { return handle.isDone(); }, limit);
    handle.cancel();
    return out;
}

inline support::Task<void> runVoid(support::Task<void> task, bool& done) {
    co_await std::move(task);
    done = true;
}

inline bool await(support::Task<void> task,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    bool done = false;
    const support::TaskHandle handle = support::spawn(runVoid(std::move(task), done));
    support::iterateUntil([&] { return handle.isDone(); }, limit);
    handle.cancel();
    return done;
}

} // namespace ostral::supabase::testing
