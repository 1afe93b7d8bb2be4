#include <Support/Log.h>
#include <Support/MainContext.h>
#include <Support/Task.h>

#include <algorithm>
#include <cassert>

namespace ostral::support {
namespace detail {

std::coroutine_handle<> PromiseBase::completed() noexcept {
    if (!continuation_) {
        state_->rootReturned(exception_);
        return std::noop_coroutine();
    }
    // Finished without suspending: the parent, still inside TaskAwaiter::await_suspend, goes on.
    if (!meetAtEnd()) {
        return std::noop_coroutine();
    }
    // Going back to the awaiting task is a resumption like any other: a chain cancelled while
    // this task ran stops here, and TaskState::resume() destroys it once control is back there.
    if (state_->shouldStop()) {
        return std::noop_coroutine();
    }
    return continuation_;
}

TaskState::TaskState(std::coroutine_handle<> root, std::weak_ptr<const void> owner,
                     bool ownerBound) noexcept
    : root_(root)
    , owner_(std::move(owner))
    , ownerBound_(ownerBound) {}

TaskState::~TaskState() {
    // Nothing can resume the chain any more (whatever would have done so is gone), so it ends
    // here. No waiter can be registered: each one holds this state alive.
    finished_ = true;
    if (auto root = std::exchange(root_, {})) {
        root.destroy();
    }
}

void TaskState::resume(std::coroutine_handle<> handle) {
    if (finished_) {
        return;
    }
    assert(!running_ && "a task was resumed from inside its own run");
    const auto keep = shared_from_this();
    std::shared_ptr<const void> owner;
    if (ownerBound_) {
        owner = owner_.lock();
        if (!owner) {
            finish();
            return;
        }
    }
    if (cancelled_) {
        finish();
        return;
    }
    running_ = true;
    handle.resume();
    running_ = false;
    if (returned_ || shouldStop()) {
        finish();
    }
    // Letting go of the owner may destroy it, and its destructor may cancel this chain.
    owner.reset();
    if (!finished_ && shouldStop()) {
        finish();
    }
}

void TaskState::cancel() {
    if (finished_) {
        return;
    }
    cancelled_ = true;
    if (!running_) {
        const auto keep = shared_from_this();
        finish();
    }
}

bool TaskState::shouldStop() const noexcept {
    return cancelled_ || (ownerBound_ && owner_.expired());
}

void TaskState::rootReturned(const std::exception_ptr& exception) noexcept {
    returned_ = true;
    if (!exception) {
        return;
    }
    const Logger logger(kAppSubsystem, "app");
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& error) {
        logger.error("task ended by an uncaught exception: {}", error.what());
    } catch (...) {
        logger.error("task ended by an uncaught exception of unknown type");
    }
}

void TaskState::addFinishWaiter(Parked& waiter) {
    finishWaiters_.push_back(&waiter);
}

void TaskState::removeFinishWaiter(Parked& waiter) noexcept {
    std::erase(finishWaiters_, &waiter);
}

void TaskState::finish() noexcept {
    if (finished_) {
        return;
    }
    // Marked first: destructors that run while the frames go (a local ScopedTask, an awaiter)
    // may call back into this chain, and must find it ended.
    finished_ = true;
    if (auto root = std::exchange(root_, {})) {
        root.destroy();
    }
    for (Parked* waiter : std::exchange(finishWaiters_, {})) {
        waiter->wake();
    }
}

Parked::~Parked() {
    destroySource(source_);
}

void Parked::park(TaskState& state, std::coroutine_handle<> handle) {
    state_ = state.shared_from_this();
    handle_ = handle;
    context_ = GMainContextPtr(g_main_context_ref_thread_default(), kAdopt);
}

void Parked::wake() {
    if (!state_ || source_) {
        return;
    }
    source_ = GSourcePtr(g_idle_source_new(), kAdopt);
    g_source_set_priority(source_.get(), G_PRIORITY_DEFAULT);
    g_source_set_name(source_.get(), "ostral task wake-up");
    g_source_set_callback(source_.get(), &Parked::dispatch, this, nullptr);
    g_source_attach(source_.get(), context_.get());
}

gboolean Parked::dispatch(gpointer self) {
    auto* parked = static_cast<Parked*>(self);
    auto state = std::move(parked->state_);
    const auto handle = std::exchange(parked->handle_, {});
    // The context holds the source while it dispatches; returning G_SOURCE_REMOVE detaches it.
    parked->source_.reset();
    // Resuming may destroy the frame that holds `parked`; it is not touched afterwards.
    state->resume(handle);
    return G_SOURCE_REMOVE;
}

TaskHandle startTask(Task<void> task, std::weak_ptr<const void> owner, bool ownerBound) {
    const auto handle = task.release();
    if (!handle) {
        return {};
    }
    auto state = std::make_shared<TaskState>(handle, std::move(owner), ownerBound);
    handle.promise().attach(*state, {});
    state->resume(handle);
    return TaskHandle(std::move(state));
}

} // namespace detail

FinishedAwaiter::~FinishedAwaiter() {
    if (registered_) {
        target_->removeFinishWaiter(parked_);
    }
}

bool FinishedAwaiter::suspend(detail::TaskState& state, std::coroutine_handle<> handle) {
    if (!target_ || target_->isFinished()) {
        return false;
    }
    parked_.park(state, handle);
    target_->addFinishWaiter(parked_);
    registered_ = true;
    return true;
}

void TaskHandle::cancel() const {
    if (state_) {
        state_->cancel();
    }
}

bool TaskHandle::isDone() const noexcept {
    return !state_ || state_->isFinished();
}

ScopedTask& ScopedTask::operator=(ScopedTask&& other) noexcept {
    if (this != &other) {
        const TaskHandle previous = std::exchange(handle_, std::exchange(other.handle_, {}));
        previous.cancel();
    }
    return *this;
}

void ScopedTask::cancel() {
    handle_.cancel();
}

TaskHandle spawn(Task<void> task) {
    return detail::startTask(std::move(task), {}, false);
}

} // namespace ostral::support
