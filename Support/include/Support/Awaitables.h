#pragma once

#include <Support/Clock.h>
#include <Support/GObjectPtr.h>
#include <Support/Task.h>
#include <Support/TimerSource.h>

#include <chrono>
#include <coroutine>
#include <memory>
#include <type_traits>
#include <utility>

// Things a Task can wait for. Each one is a cancellation point: a task that was cancelled (or
// lost its owner) while it ran stops at the co_await instead of starting the wait, and a task
// stopped while it waits withdraws what it waited for.
namespace ostral::support {

// `co_await sleepFor(timers, std::chrono::seconds(15));` resumes after the delay. A sleep whose
// timer source is destroyed never ends.
class SleepAwaiter : public detail::CancellationPoint<SleepAwaiter> {
public:
    SleepAwaiter(TimerSource& source, std::chrono::microseconds delay) noexcept
        : source_(source)
        , sourceLifetime_(source.lifetime())
        , delay_(delay) {}
    SleepAwaiter(const SleepAwaiter&) = delete;
    SleepAwaiter& operator=(const SleepAwaiter&) = delete;
    ~SleepAwaiter();

    void await_resume() noexcept { id_ = 0; }

private:
    friend detail::CancellationPoint<SleepAwaiter>;
    bool suspend(detail::TaskState& state, std::coroutine_handle<> handle);

    TimerSource& source_;
    std::weak_ptr<const void> sourceLifetime_;
    std::chrono::microseconds delay_;
    TimerId id_ = 0;
};

template <typename Rep, typename Period>
SleepAwaiter sleepFor(TimerSource& source, std::chrono::duration<Rep, Period> delay) {
    return SleepAwaiter(source, saturatingMicroseconds(delay));
}

// `co_await yield();` lets the main loop run other ready sources and resumes on a later
// iteration (from an idle source at default priority).
class YieldAwaiter : public detail::CancellationPoint<YieldAwaiter> {
public:
    YieldAwaiter() = default;
    YieldAwaiter(const YieldAwaiter&) = delete;
    YieldAwaiter& operator=(const YieldAwaiter&) = delete;

    void await_resume() const noexcept {}

private:
    friend detail::CancellationPoint<YieldAwaiter>;
    bool suspend(detail::TaskState& state, std::coroutine_handle<> handle);

    detail::Parked parked_;
};

inline YieldAwaiter yield() {
    return YieldAwaiter();
}

namespace detail {

// One GIO asynchronous operation, shared by the awaiter and the pending callback, so that a
// callback arriving after the task was stopped finds it abandoned and does nothing.
struct GioOperation {
    GObjectPtr<GCancellable> cancellable{g_cancellable_new(), kAdopt};
    GObjectPtr<GAsyncResult> result;
    std::shared_ptr<TaskState> state;
    std::coroutine_handle<> handle;
    bool completed = false;
    bool abandoned = false;

    static void callback(GObject* source, GAsyncResult* result, gpointer userData);
    // The user_data for one start call: a reference to `operation` that the callback drops.
    static gpointer userData(const std::shared_ptr<GioOperation>& operation);
};

class GioAwaiterBase {
public:
    GioAwaiterBase() = default;
    GioAwaiterBase(const GioAwaiterBase&) = delete;
    GioAwaiterBase& operator=(const GioAwaiterBase&) = delete;
    ~GioAwaiterBase();

    GObjectPtr<GAsyncResult> await_resume() noexcept { return std::move(operation_->result); }

protected:
    // False when the callback already came during the start call: then the task goes on at once.
    bool parkUnlessCompleted(TaskState& state, std::coroutine_handle<> handle);

    std::shared_ptr<GioOperation> operation_;
};

} // namespace detail

// Awaits a GIO operation of the `*_async(..., GCancellable*, GAsyncReadyCallback, gpointer)` /
// `*_finish(GAsyncResult*)` pattern. `start` is called with the three last arguments; the task
// resumes with the GAsyncResult, which the caller hands to the matching finish function:
//
//     GObjectPtr<GAsyncResult> result = co_await gioAsync(
//         [&](GCancellable* c, GAsyncReadyCallback cb, gpointer ud) {
//             g_file_load_contents_async(file.get(), c, cb, ud);
//         });
//     GErrorPtr error;
//     g_file_load_contents_finish(file.get(), result.get(), &data, &size, nullptr, error.out());
//
// Stopping the task cancels the operation's GCancellable; the callback that GIO still delivers
// later finds the task gone and drops the result. The callback arrives on the thread-default
// main context of the moment `start` is called.
template <typename Start>
class GioAwaiter final : public detail::GioAwaiterBase,
                         public detail::CancellationPoint<GioAwaiter<Start>> {
public:
    explicit GioAwaiter(Start start)
        : start_(std::move(start)) {}

private:
    friend detail::CancellationPoint<GioAwaiter>;
    bool suspend(detail::TaskState& state, std::coroutine_handle<> handle) {
        operation_ = std::make_shared<detail::GioOperation>();
        start_(operation_->cancellable.get(), &detail::GioOperation::callback,
               detail::GioOperation::userData(operation_));
        return parkUnlessCompleted(state, handle);
    }

    Start start_;
};

template <typename Start>
GioAwaiter<std::decay_t<Start>> gioAsync(Start&& start) {
    return GioAwaiter<std::decay_t<Start>>(std::forward<Start>(start));
}

} // namespace ostral::support
