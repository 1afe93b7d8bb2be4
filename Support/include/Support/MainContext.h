#pragma once

#include <Support/GObjectPtr.h>

#include <chrono>
#include <functional>

namespace ostral::support {

// Makes a fresh GMainContext the calling thread's default for as long as it lives, so that every
// source created meanwhile (timers, task wake-ups, GIO callbacks) is attached there. Tests use it
// to start from an empty loop; the previous default comes back on destruction, and sources still
// attached to the fresh context are destroyed with it once nothing else holds it.
class ThreadDefaultContext {
public:
    ThreadDefaultContext();
    ~ThreadDefaultContext();
    ThreadDefaultContext(const ThreadDefaultContext&) = delete;
    ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;

    GMainContext* get() const noexcept { return context_.get(); }

private:
    GMainContextPtr context_;
};

// Runs the thread-default main context (blocking while nothing is ready) until `condition`
// holds or `limit` of real time has passed; returns whether the condition held. The limit is a
// safety net for tests that wait for real I/O or real timers, never a way to pass time.
bool iterateUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds limit = std::chrono::seconds(10));

// Dispatches whatever the thread-default main context has ready now, without blocking, until
// nothing is ready (at most `maxIterations` rounds, so a source that is always ready cannot hang
// the caller). Returns the number of rounds that dispatched something.
int runPending(int maxIterations = 1000);

// Detaches an attached source from its context and drops the reference; safe on an empty
// pointer and on a source that has already been destroyed.
void destroySource(GSourcePtr& source) noexcept;

} // namespace ostral::support
