#pragma once

#include <Support/Clock.h>
#include <Support/TimerSource.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <utility>

namespace ostral::support {

// A clock and a timer source in one, for tests: time stands still until the test moves it.
//
// advance(d) moves time forward by d, firing every timer that falls due on the way, in order of
// due time (equal due times in scheduling order). While a timer fires, now() reads its due time.
// Timers that callbacks schedule during the advance fire too when they fall due within it.
// Before the first timer and after each one, whatever the thread-default main context has ready
// is dispatched (the idle wake-ups through which tasks pass values to each other), so a chain of
// timers, tasks and streams plays out as it would on the real loop, at the virtual instants.
//
// Nothing sleeps: a test of a 60-second cycle runs in microseconds.
class VirtualTime final : public Clock, public TimerSource {
public:
    // 2023-11-14T22:13:20Z unless told otherwise.
    explicit VirtualTime(Date start = Date(std::chrono::seconds(1'700'000'000)));
    ~VirtualTime() override;
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    Date now() const override;
    TimerId schedule(std::chrono::microseconds delay, std::function<void()> callback) override;
    void cancel(TimerId id) override;

    void advance(std::chrono::microseconds duration);
    // Moves to the earliest pending due time and fires what is due then; false when no timer is
    // pending (time does not move).
    bool advanceToNext();
    std::size_t pendingTimers() const noexcept { return timers_.size(); }
    // How far away the earliest pending timer is, if any.
    std::optional<std::chrono::microseconds> nextDueIn() const;

    // Moves the wall clock that now() reads without passing time for the timers, as when the
    // system time is set.
    void jumpClock(std::chrono::microseconds offset);

private:
    Date start_;
    std::chrono::microseconds elapsed_{0};
    std::chrono::microseconds clockOffset_{0};
    // Due times on the scale of elapsed_.
    TimerQueue timers_;
};

} // namespace ostral::support
