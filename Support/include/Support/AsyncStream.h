#pragma once

#include <Support/Log.h>
#include <Support/Task.h>

#include <coroutine>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

namespace ostral::support {

// A queue of values from producers to one consuming task, on the main thread.
//
//     AsyncStream<AuthEvent> events;                 // producer keeps a copy, pushes and finishes
//     while (auto event = co_await events.next()) {  // consumer task
//         handle(*event);
//     }                                              // nullopt: finished and drained
//
// Copies share one queue. push() never runs the consumer from inside the call: a waiting consumer
// is woken on a later main-loop iteration and then takes the values in push order. push() after
// finish() is ignored. next() does not suspend when a value is queued. Exactly one task may wait
// in next() at a time; a second one gets nullopt at once (and a warning). A consumer waiting on a
// stream that nobody finishes waits until its task is cancelled, so producers finish their
// streams when they are done.
template <typename T>
class AsyncStream {
    struct Core {
        std::deque<T> items;
        bool finished = false;
        detail::Parked* waiter = nullptr;
    };

public:
    class NextAwaiter : public detail::CancellationPoint<NextAwaiter> {
    public:
        explicit NextAwaiter(std::shared_ptr<Core> core) noexcept
            : core_(std::move(core)) {}
        NextAwaiter(const NextAwaiter&) = delete;
        NextAwaiter& operator=(const NextAwaiter&) = delete;
        ~NextAwaiter() { leave(); }

        std::optional<T> await_resume() {
            leave();
            if (core_->items.empty()) {
                return std::nullopt;
            }
            std::optional<T> item(std::move(core_->items.front()));
            core_->items.pop_front();
            return item;
        }

    private:
        friend detail::CancellationPoint<NextAwaiter>;
        bool suspend(detail::TaskState& state, std::coroutine_handle<> handle) {
            if (!core_->items.empty() || core_->finished) {
                return false;
            }
            if (core_->waiter != nullptr) {
                Logger(kAppSubsystem, "app")
                    .error("a second consumer awaited the same stream; it gets no value");
                return false;
            }
            parked_.park(state, handle);
            core_->waiter = &parked_;
            return true;
        }
        void leave() noexcept {
            if (core_->waiter == &parked_) {
                core_->waiter = nullptr;
            }
        }

        std::shared_ptr<Core> core_;
        detail::Parked parked_;
    };

    AsyncStream()
        : core_(std::make_shared<Core>()) {}

    // Queues `value` for the consumer; ignored once the stream is finished.
    void push(T value) {
        if (core_->finished) {
            return;
        }
        core_->items.push_back(std::move(value));
        wakeConsumer();
    }

    // Ends the stream: the consumer gets what is queued, then nullopt.
    void finish() {
        core_->finished = true;
        wakeConsumer();
    }

    bool isFinished() const noexcept { return core_->finished; }
    std::size_t queued() const noexcept { return core_->items.size(); }

    NextAwaiter next() const { return NextAwaiter(core_); }

private:
    void wakeConsumer() {
        if (core_->waiter != nullptr) {
            core_->waiter->wake();
        }
    }

    std::shared_ptr<Core> core_;
};

} // namespace ostral::support
