#include <Support/Timer.h>

#include <algorithm>

namespace ostral::support {

namespace {

// The pending firing of a timer on a source that may be destroyed before the timer.
struct Firing {
    explicit Firing(TimerSource& timerSource)
        : source(&timerSource)
        , sourceLifetime(timerSource.lifetime()) {}

    // A source that is gone took its firings with it, and is not touched.
    void withdraw() {
        if (id != 0 && !sourceLifetime.expired()) {
            source->cancel(std::exchange(id, 0));
        }
    }

    TimerSource* source;
    std::weak_ptr<const void> sourceLifetime;
    TimerId id = 0; // 0: nothing pending
};

} // namespace

struct Timer::State : Firing {
    using Firing::Firing;
    std::function<void()> callback;
};

Timer::Timer(TimerSource& source, std::chrono::microseconds delay, std::function<void()> callback) {
    start(source, delay, std::move(callback));
}

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        cancel();
        state_ = std::move(other.state_);
    }
    return *this;
}

Timer::~Timer() {
    cancel();
}

void Timer::start(TimerSource& source, std::chrono::microseconds delay,
                  std::function<void()> callback) {
    cancel();
    auto state = std::make_shared<State>(source);
    state->callback = std::move(callback);
    state->id = source.schedule(delay, [weak = std::weak_ptr<State>(state)] {
        auto locked = weak.lock();
        if (!locked) {
            return;
        }
        locked->id = 0;
        // Run a moved-out copy: the callback may destroy or restart this timer.
        auto run = std::move(locked->callback);
        locked.reset();
        run();
    });
    state_ = std::move(state);
}

void Timer::cancel() {
    if (auto state = std::move(state_)) {
        state->withdraw();
    }
}

bool Timer::isActive() const noexcept {
    return state_ && state_->id != 0;
}

struct RepeatingTimer::State : Firing {
    using Firing::Firing;
    std::chrono::microseconds interval{0};
    // Shared so that the callback stays alive while it runs even if it destroys the timer.
    std::shared_ptr<std::function<void()>> callback;
};

RepeatingTimer::RepeatingTimer(TimerSource& source, std::chrono::microseconds interval,
                               std::function<void()> callback) {
    start(source, interval, std::move(callback));
}

RepeatingTimer& RepeatingTimer::operator=(RepeatingTimer&& other) noexcept {
    if (this != &other) {
        stop();
        state_ = std::move(other.state_);
    }
    return *this;
}

RepeatingTimer::~RepeatingTimer() {
    stop();
}

void RepeatingTimer::start(TimerSource& source, std::chrono::microseconds interval,
                           std::function<void()> callback) {
    stop();
    auto state = std::make_shared<State>(source);
    state->interval = std::max(interval, std::chrono::microseconds(1));
    state->callback = std::make_shared<std::function<void()>>(std::move(callback));
    arm(state);
    state_ = std::move(state);
}

void RepeatingTimer::stop() {
    if (auto state = std::move(state_)) {
        state->withdraw();
    }
}

void RepeatingTimer::arm(const std::shared_ptr<State>& state) {
    state->id = state->source->schedule(state->interval,
                                        [weak = std::weak_ptr<State>(state)] { fire(weak); });
}

void RepeatingTimer::fire(const std::weak_ptr<State>& weak) {
    auto state = weak.lock();
    if (!state) {
        return;
    }
    state->id = 0;
    const auto callback = state->callback;
    // Only the timer itself may keep the state alive while the callback runs; if the callback
    // stops, restarts or destroys the timer, this state expires and is not armed again.
    state.reset();
    (*callback)();
    state = weak.lock();
    if (state && state->id == 0 && !state->sourceLifetime.expired()) {
        arm(state);
    }
}

} // namespace ostral::support
