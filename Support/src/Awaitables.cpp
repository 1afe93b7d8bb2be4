#include <Support/Awaitables.h>

namespace ostral::support {

SleepAwaiter::~SleepAwaiter() {
    if (id_ != 0 && !sourceLifetime_.expired()) {
        source_.cancel(std::exchange(id_, 0));
    }
}

bool SleepAwaiter::suspend(detail::TaskState& state, std::coroutine_handle<> handle) {
    id_ = source_.schedule(delay_,
                           [chain = state.shared_from_this(), handle] { chain->resume(handle); });
    return true;
}

bool YieldAwaiter::suspend(detail::TaskState& state, std::coroutine_handle<> handle) {
    parked_.park(state, handle);
    parked_.wake();
    return true;
}

namespace detail {

void GioOperation::callback(GObject*, GAsyncResult* result, gpointer userData) {
    const std::shared_ptr<GioOperation> operation =
        std::move(*static_cast<std::shared_ptr<GioOperation>*>(userData));
    delete static_cast<std::shared_ptr<GioOperation>*>(userData);
    if (operation->abandoned) {
        return;
    }
    operation->result = GObjectPtr<GAsyncResult>(result, kRetain);
    operation->completed = true;
    if (auto state = std::move(operation->state)) {
        state->resume(std::exchange(operation->handle, {}));
    }
}

gpointer GioOperation::userData(const std::shared_ptr<GioOperation>& operation) {
    return new std::shared_ptr<GioOperation>(operation);
}

GioAwaiterBase::~GioAwaiterBase() {
    if (operation_ && !operation_->completed) {
        operation_->abandoned = true;
        operation_->state.reset();
        g_cancellable_cancel(operation_->cancellable.get());
    }
}

bool GioAwaiterBase::parkUnlessCompleted(TaskState& state, std::coroutine_handle<> handle) {
    if (operation_->completed) {
        return false;
    }
    operation_->state = state.shared_from_this();
    operation_->handle = handle;
    return true;
}

} // namespace detail
} // namespace ostral::support
