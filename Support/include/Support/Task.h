#pragma once

#include <Support/GObjectPtr.h>

#include <concepts>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// Main-loop tasks: C++20 coroutines that run on the main thread and suspend while they wait for
// a timer, a GIO operation, a stream or another task.
//
// A coroutine returning Task<T> does nothing until it is either awaited by another task
// (`T value = co_await child();` starts the child and resumes the parent with its result) or
// started at top level with spawn(), which runs it at once up to its first suspension and
// returns a TaskHandle. Dropping the handle leaves the task running (detached); keep a
// ScopedTask to cancel it when the holder goes away or is replaced.
//
// Cancelling a task stops the whole chain (the spawned task and every task it awaits) at its
// next suspension: a task suspended right now is stopped at once; a task that is running stops
// when it next suspends. A stopped task never resumes; its coroutine frames are destroyed, so
// its locals' destructors run, and whatever it awaited is withdrawn (timer removed, GIO operation
// cancelled). No exception is thrown into the task.
//
// A task can await another Task, TaskHandle::finished(), sleepFor(), yield() and gioAsync()
// (Awaitables.h), AsyncStream::next() and Promise::value(). Each of these is a cancellation point.
//
// A controller runs member coroutines that use `this` by binding them to itself:
//
//     class CallCenter : public std::enable_shared_from_this<CallCenter> {
//         Task<void> restartListener(TaskHandle previous) {
//             co_await previous.finished();                // restarts never overlap
//             co_await sleepFor(timers_, std::chrono::seconds(1));
//             listener_.start();                           // `this` is alive here
//         }
//         void restart() {
//             TaskHandle previous = restartTask_.release();  // chained, not cancelled
//             restartTask_ = spawn(weak_from_this(), restartListener(std::move(previous)));
//         }
//         TimerSource& timers_;
//         ScopedTask restartTask_;                         // cancelled when the owner goes
//     };
//
// Before every resumption the machinery checks the owner: once it is gone the task ends quietly
// instead of resuming, and while a task runs the owner is held, so it cannot vanish under the
// running code. Rules that follow from this design:
// - a task that waits for something only its owner would deliver (a stream, a promise, another
//   task's end) keeps itself alive while it waits, and a gone owner is only noticed when the
//   task is next resumed. The owner must therefore hold such a task in a ScopedTask, so that
//   its destruction cancels the wait; sleeps, yields and GIO operations end by themselves;
// - everything happens on the thread whose thread-default main context the task's sources are
//   attached to (the main thread for the application);
// - never make a capturing lambda a coroutine: the captures die with the lambda object, before
//   the task ends; pass what the coroutine needs as parameters;
// - the destructors of a stopped task's locals may run after its owner is gone, so they must not
//   use the owner;
// - cancelling a suspended task destroys its frames on the spot; objects those frames own must
//   tolerate being destroyed from inside their own callbacks (Support's types all do);
// - an exception that escapes a spawned task is logged at error level and ends that task;
//   within a chain it passes from the awaited task to the awaiting one;
// - GCC 12 miscompiles a co_await inside the condition of an if or switch statement (the
//   coroutine silently never runs) and sometimes inside a while condition. Bind the result
//   first: `auto row = co_await load(); if (row) ...`, or use the declaration forms
//   `if (auto row = co_await load())` and `while (auto event = co_await events.next())`, which
//   compile correctly.
namespace ostral::support {

template <typename T = void>
class Task;
class TaskHandle;

namespace detail {

class TaskState;

// What every Task promise shares: the chain it belongs to and the task that awaits it.
class PromiseBase {
public:
    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        template <typename Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> handle) noexcept {
            return handle.promise().completed();
        }
        void await_resume() const noexcept {}
    };

    std::suspend_always initial_suspend() const noexcept { return {}; }
    FinalAwaiter final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept { exception_ = std::current_exception(); }

    TaskState& taskState() const noexcept { return *state_; }
    void attach(TaskState& state, std::coroutine_handle<> continuation) noexcept {
        state_ = &state;
        continuation_ = continuation;
    }
    // Where control goes once the coroutine has finished.
    std::coroutine_handle<> completed() noexcept;
    // Called once by the awaiting parent after starting the child and once by the child when it
    // finishes; true for the second caller, which is the one that carries on.
    bool meetAtEnd() noexcept { return std::exchange(met_, true); }

protected:
    void rethrowIfFailed() const {
        if (exception_) {
            std::rethrow_exception(exception_);
        }
    }

private:
    TaskState* state_ = nullptr;
    std::coroutine_handle<> continuation_;
    std::exception_ptr exception_;
    bool met_ = false;
};

template <typename P>
concept TaskPromise = std::derived_from<P, PromiseBase>;

class Parked;

// One spawned chain of tasks: owns the coroutine frame of the spawned task (which owns the frames
// of the tasks it awaits), knows whether the chain was cancelled or lost its owner, and is the
// only place that resumes a task. It is kept alive by the TaskHandles and by whatever will resume
// the chain (a pending timer, GIO callback or wake-up); once nothing can resume it any more, it
// is freed and the frames are destroyed.
class TaskState : public std::enable_shared_from_this<TaskState> {
public:
    TaskState(std::coroutine_handle<> root, std::weak_ptr<const void> owner,
              bool ownerBound) noexcept;
    ~TaskState();
    TaskState(const TaskState&) = delete;
    TaskState& operator=(const TaskState&) = delete;

    // Resumes `handle` (a frame of this chain) unless the chain must stop, in which case the
    // chain is stopped instead. Stops the chain as well when it is cancelled while running.
    void resume(std::coroutine_handle<> handle);
    void cancel();
    // True once cancelled or once the owner is gone: awaitables then do not start anything.
    bool shouldStop() const noexcept;
    bool isFinished() const noexcept { return finished_; }

    void rootReturned(const std::exception_ptr& exception) noexcept;
    void addFinishWaiter(Parked& waiter);
    void removeFinishWaiter(Parked& waiter) noexcept;

private:
    void finish() noexcept;

    std::coroutine_handle<> root_;
    std::weak_ptr<const void> owner_;
    bool ownerBound_;
    bool cancelled_ = false;
    bool running_ = false;
    bool returned_ = false;
    bool finished_ = false;
    std::vector<Parked*> finishWaiters_;
};

// A task suspended until some event; wake() resumes it from an idle source on the main context
// that was the thread default when it parked, never from inside the code that calls wake().
// Lives inside an awaiter (so inside a coroutine frame): it cannot move, and its destructor
// withdraws a wake-up that has not run yet. While parked it keeps its chain alive.
class Parked {
public:
    Parked() = default;
    Parked(const Parked&) = delete;
    Parked& operator=(const Parked&) = delete;
    ~Parked();

    void park(TaskState& state, std::coroutine_handle<> handle);
    void wake();
    bool isParked() const noexcept { return state_ != nullptr; }

private:
    static gboolean dispatch(gpointer self);

    std::shared_ptr<TaskState> state_;
    std::coroutine_handle<> handle_;
    GMainContextPtr context_;
    GSourcePtr source_;
};

// What every awaitable of a task shares: it is a cancellation point. The task always reaches
// await_suspend; a chain that must stop (cancelled, or its owner gone) stays suspended there
// without starting the wait, and is stopped once control is back in TaskState::resume().
// Otherwise `Awaiter`'s private suspend(state, handle), which befriends this class, starts the
// wait and returns true to keep the task suspended or false to let it go on at once.
template <typename Awaiter>
class CancellationPoint {
public:
    bool await_ready() const noexcept { return false; }
    template <TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> handle) {
        TaskState& state = handle.promise().taskState();
        if (state.shouldStop()) {
            return true;
        }
        return static_cast<Awaiter&>(*this).suspend(state, handle);
    }
};

template <typename T>
class TaskPromiseImpl final : public PromiseBase {
public:
    Task<T> get_return_object() noexcept;
    void return_value(T value) { value_.emplace(std::move(value)); }
    T takeResult() {
        rethrowIfFailed();
        return std::move(*value_);
    }

private:
    std::optional<T> value_;
};

template <>
class TaskPromiseImpl<void> final : public PromiseBase {
public:
    Task<void> get_return_object() noexcept;
    void return_void() const noexcept {}
    void takeResult() const { rethrowIfFailed(); }
};

// Starts the child from inside the parent's await_suspend. When the child finishes without
// suspending, control simply returns here and the parent goes on without suspending; only a
// child that suspended resumes its parent from its final suspension. (Returning the child's
// handle from await_suspend would be shorter, but GCC without optimisation does not turn that
// transfer into a tail call, and a loop of synchronous awaits would then exhaust the stack.)
template <typename T>
class TaskAwaiter : public CancellationPoint<TaskAwaiter<T>> {
public:
    explicit TaskAwaiter(std::coroutine_handle<TaskPromiseImpl<T>> child) noexcept
        : child_(child) {}
    T await_resume() { return child_.promise().takeResult(); }

private:
    friend CancellationPoint<TaskAwaiter>;
    bool suspend(TaskState& state, std::coroutine_handle<> parent) {
        child_.promise().attach(state, parent);
        child_.resume();
        if (!child_.promise().meetAtEnd()) {
            return true;
        }
        // A chain cancelled while the child ran stops here; TaskState::resume() destroys it.
        return state.shouldStop();
    }

    std::coroutine_handle<TaskPromiseImpl<T>> child_;
};

TaskHandle startTask(Task<void> task, std::weak_ptr<const void> owner, bool ownerBound);

} // namespace detail

// The coroutine type. Move-only; destroying a Task that was never started destroys its frame.
// Await it only as an rvalue: `co_await child()` or `co_await std::move(task)`.
template <typename T>
class [[nodiscard]] Task {
public:
    using promise_type = detail::TaskPromiseImpl<T>;

    Task(Task&& other) noexcept
        : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            destroy();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { destroy(); }

    detail::TaskAwaiter<T> operator co_await() && noexcept {
        return detail::TaskAwaiter<T>(handle_);
    }

private:
    friend promise_type;
    friend TaskHandle detail::startTask(Task<void>, std::weak_ptr<const void>, bool);

    explicit Task(std::coroutine_handle<promise_type> handle) noexcept
        : handle_(handle) {}
    std::coroutine_handle<promise_type> release() noexcept { return std::exchange(handle_, {}); }
    void destroy() noexcept {
        if (auto handle = std::exchange(handle_, {})) {
            handle.destroy();
        }
    }

    std::coroutine_handle<promise_type> handle_;
};

template <typename T>
Task<T> detail::TaskPromiseImpl<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<TaskPromiseImpl<T>>::from_promise(*this));
}

inline Task<void> detail::TaskPromiseImpl<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<TaskPromiseImpl<void>>::from_promise(*this));
}

// Awaits the end of another chain (completed or stopped). Does not suspend when it has ended.
class FinishedAwaiter : public detail::CancellationPoint<FinishedAwaiter> {
public:
    explicit FinishedAwaiter(std::shared_ptr<detail::TaskState> target) noexcept
        : target_(std::move(target)) {}
    FinishedAwaiter(const FinishedAwaiter&) = delete;
    FinishedAwaiter& operator=(const FinishedAwaiter&) = delete;
    ~FinishedAwaiter();

    void await_resume() const noexcept {}

private:
    friend detail::CancellationPoint<FinishedAwaiter>;
    bool suspend(detail::TaskState& state, std::coroutine_handle<> handle);

    std::shared_ptr<detail::TaskState> target_;
    detail::Parked parked_;
    bool registered_ = false;
};

// A started chain. Copyable; every copy refers to the same chain. Dropping every handle does not
// cancel the task. A default-constructed handle refers to no task and counts as done.
class TaskHandle {
public:
    TaskHandle() = default;

    // Stops the chain (see the top of this file). Harmless when it has already ended.
    void cancel() const;
    // True once the chain has completed or been stopped.
    bool isDone() const noexcept;
    // `co_await handle.finished()` waits until isDone(); the waiting task resumes on a later
    // main-loop iteration, not from inside whatever ended the awaited chain.
    FinishedAwaiter finished() const { return FinishedAwaiter(state_); }

private:
    friend TaskHandle detail::startTask(Task<void>, std::weak_ptr<const void>, bool);
    explicit TaskHandle(std::shared_ptr<detail::TaskState> state) noexcept
        : state_(std::move(state)) {}

    std::shared_ptr<detail::TaskState> state_;
};

// A TaskHandle that cancels its task when destroyed or when another task is assigned to it.
// Note that in `scoped = spawn(...)` the new task starts before the old one is cancelled; call
// cancel() first when the old one must be stopped before the new one begins.
class ScopedTask {
public:
    ScopedTask() = default;
    ScopedTask(TaskHandle handle) noexcept
        : handle_(std::move(handle)) {}
    ScopedTask(ScopedTask&& other) noexcept
        : handle_(std::exchange(other.handle_, {})) {}
    ScopedTask& operator=(ScopedTask&& other) noexcept;
    ScopedTask(const ScopedTask&) = delete;
    ScopedTask& operator=(const ScopedTask&) = delete;
    ~ScopedTask() { cancel(); }

    void cancel();
    bool isDone() const noexcept { return handle_.isDone(); }
    const TaskHandle& handle() const noexcept { return handle_; }
    FinishedAwaiter finished() const { return handle_.finished(); }
    // Gives the task up without cancelling it.
    TaskHandle release() noexcept { return std::exchange(handle_, {}); }

private:
    TaskHandle handle_;
};

// Starts `task` now: it runs until its first suspension before spawn() returns.
TaskHandle spawn(Task<void> task);

// Starts `task` bound to `owner`: the task ends quietly, without resuming, once the owner is
// gone, and the owner is held while the task runs. An owner already gone: the task never runs.
template <typename Owner>
TaskHandle spawn(std::weak_ptr<Owner> owner, Task<void> task) {
    return detail::startTask(std::move(task), std::weak_ptr<const void>(std::move(owner)), true);
}

} // namespace ostral::support
