#pragma once

#include <Support/TimerSource.h>

#include <chrono>
#include <functional>
#include <memory>

namespace ostral::support {

// A one-shot timer that cancels itself when destroyed. start() replaces a pending firing.
// The callback may destroy or restart the timer. Destroying the TimerSource first is harmless.
//
//     Timer hide_;
//     hide_.start(timers_, std::chrono::seconds(3), [this] { panel_.hide(); });
class Timer {
public:
    Timer() = default;
    Timer(TimerSource& source, std::chrono::microseconds delay, std::function<void()> callback);
    Timer(Timer&& other) noexcept = default;
    Timer& operator=(Timer&& other) noexcept;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer();

    void start(TimerSource& source, std::chrono::microseconds delay,
               std::function<void()> callback);
    void cancel();
    // True from start() until the callback begins or the timer is cancelled.
    bool isActive() const noexcept;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Calls back every `interval` until stopped or destroyed. The next firing is scheduled when the
// callback returns (interval after that moment), so firings never overlap and a slow callback
// delays the rest instead of piling them up. The callback may stop, restart or destroy the timer.
// Intervals below one microsecond are held to one. Destroying the TimerSource first is harmless.
//
//     RepeatingTimer ticker_;
//     ticker_.start(timers_, std::chrono::seconds(1), [this] { tick(); });
class RepeatingTimer {
public:
    RepeatingTimer() = default;
    RepeatingTimer(TimerSource& source, std::chrono::microseconds interval,
                   std::function<void()> callback);
    RepeatingTimer(RepeatingTimer&& other) noexcept = default;
    RepeatingTimer& operator=(RepeatingTimer&& other) noexcept;
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;
    ~RepeatingTimer();

    void start(TimerSource& source, std::chrono::microseconds interval,
               std::function<void()> callback);
    void stop();
    bool isRunning() const noexcept { return state_ != nullptr; }

private:
    struct State;
    static void arm(const std::shared_ptr<State>& state);
    static void fire(const std::weak_ptr<State>& weak);
    std::shared_ptr<State> state_;
};

} // namespace ostral::support
