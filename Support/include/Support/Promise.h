#pragma once

#include <Support/Task.h>

#include <algorithm>
#include <coroutine>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace ostral::support {

// A value that some callback provides once and any number of tasks await:
//
//     Promise<std::optional<std::string>> answer;
//     lineModeSave_ = spawn(weak_from_this(), saveLineModes(modes, answer));  // calls set()
//     std::optional<std::string> message = co_await answer.value();
//
// Copies share the value. The first set() wins; later ones are ignored. Waiting tasks resume on a
// later main-loop iteration, each with its own copy of the value. A promise that is never set
// keeps its waiters waiting until their tasks are cancelled.
template <typename T>
class Promise {
    struct Core {
        std::optional<T> value;
        std::vector<detail::Parked*> waiters;
    };

public:
    class ValueAwaiter : public detail::CancellationPoint<ValueAwaiter> {
    public:
        explicit ValueAwaiter(std::shared_ptr<Core> core) noexcept
            : core_(std::move(core)) {}
        ValueAwaiter(const ValueAwaiter&) = delete;
        ValueAwaiter& operator=(const ValueAwaiter&) = delete;
        ~ValueAwaiter() { std::erase(core_->waiters, &parked_); }

        T await_resume() const { return *core_->value; }

    private:
        friend detail::CancellationPoint<ValueAwaiter>;
        bool suspend(detail::TaskState& state, std::coroutine_handle<> handle) {
            if (core_->value) {
                return false;
            }
            parked_.park(state, handle);
            core_->waiters.push_back(&parked_);
            return true;
        }

        std::shared_ptr<Core> core_;
        detail::Parked parked_;
    };

    Promise()
        : core_(std::make_shared<Core>()) {}

    // Returns false (and changes nothing) when a value was set before.
    bool set(T value) {
        if (core_->value) {
            return false;
        }
        core_->value.emplace(std::move(value));
        for (detail::Parked* waiter : std::exchange(core_->waiters, {})) {
            waiter->wake();
        }
        return true;
    }

    bool isSet() const noexcept { return core_->value.has_value(); }
    const std::optional<T>& current() const noexcept { return core_->value; }

    ValueAwaiter value() const { return ValueAwaiter(core_); }

private:
    std::shared_ptr<Core> core_;
};

} // namespace ostral::support
