#pragma once

#include <Support/GObjectPtr.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ostral::support {

// Identifies one scheduled callback of a TimerSource. Ids are never reused, so cancelling an id
// whose callback already ran (or was cancelled) is harmless. 0 means "no timer".
using TimerId = std::uint64_t;

// Delays are held to this much; a longer one (from outside input, say) would be a bug anyway,
// and the bound keeps every deadline computation far from overflow.
inline constexpr std::chrono::microseconds kLongestTimerDelay = std::chrono::hours(24 * 366 * 100);

// Runs one-shot callbacks after a delay. Controllers take a TimerSource& (the application passes a
// MainLoopTimerSource, tests a VirtualTime) and use it through Timer, RepeatingTimer or sleepFor.
//
// Rules for implementations and users:
// - callbacks run on the main thread, one at a time, never from inside schedule() or cancel();
// - a negative delay counts as zero; a delay above kLongestTimerDelay is held to it;
// - cancel() of an unknown, fired or cancelled id does nothing;
// - the source may be destroyed with timers pending: their callbacks are destroyed, not run, and
//   cancel() calls made from those destructors are harmless;
// - users that may outlive the source (Timer, RepeatingTimer, sleepFor) check lifetime() before
//   they cancel, so destroying the source first is harmless too; their timers then never fire.
class TimerSource {
public:
    TimerSource() = default;
    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;
    virtual ~TimerSource() = default;

    virtual TimerId schedule(std::chrono::microseconds delay, std::function<void()> callback) = 0;
    virtual void cancel(TimerId id) = 0;

    // Expires when the source is destroyed.
    std::weak_ptr<const void> lifetime() const noexcept { return lifetime_; }

private:
    std::shared_ptr<const void> lifetime_ = std::make_shared<const char>('\0');
};

// The pending timers of a TimerSource implementation: callbacks in order of due time (equal due
// times in scheduling order) and the ids that name them. Callbacks that leave the queue are
// handed back rather than destroyed here, so that the source destroys them once its own state is
// consistent: what a callback owns (a task frame's sleep, say) may call cancel() as it goes.
class TimerQueue {
public:
    using Due = std::chrono::microseconds;

    TimerId add(Due due, std::function<void()> callback);
    // The callback of a pending timer, taken out; nothing when `id` is not pending.
    std::optional<std::function<void()>> remove(TimerId id);
    // The earliest timer, taken out with its due time. The queue must not be empty.
    std::pair<Due, std::function<void()>> takeFirst();
    // Every callback, taken out.
    std::vector<std::function<void()>> takeAll();

    bool empty() const noexcept { return timers_.empty(); }
    std::size_t size() const noexcept { return timers_.size(); }
    // The due time of the earliest timer. The queue must not be empty.
    Due firstDue() const { return timers_.begin()->first.first; }

private:
    using Key = std::pair<Due, TimerId>;

    TimerId lastId_ = 0;
    std::map<Key, std::function<void()>> timers_;
    std::unordered_map<TimerId, Due> dues_;
};

// Which clock the deadlines of a MainLoopTimerSource count on.
enum class TimerClock {
    // Counts the time the computer spends suspended too (CLOCK_BOOTTIME): a 60-second timer set
    // just before a long sleep fires right after wake. What controllers want.
    continuous,
    // GLib's monotonic clock, which stands still during suspend.
    monotonic,
};

// Timers on the main loop. One GSource, attached at default priority to the GMainContext that
// was the thread default when this object was created, fires due timers one per main-loop
// dispatch, in order of deadline (equal deadlines in scheduling order), so other ready sources
// can run between two timers. Deadlines have microsecond precision. Destroying the object
// removes every pending timer.
class MainLoopTimerSource final : public TimerSource {
public:
    explicit MainLoopTimerSource(TimerClock clock = TimerClock::continuous);
    ~MainLoopTimerSource() override;
    MainLoopTimerSource(const MainLoopTimerSource&) = delete;
    MainLoopTimerSource& operator=(const MainLoopTimerSource&) = delete;

    TimerId schedule(std::chrono::microseconds delay, std::function<void()> callback) override;
    void cancel(TimerId id) override;

    std::size_t pendingTimers() const noexcept { return timers_.size(); }

private:
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer);
    std::int64_t clockNow() const;
    void fireFirstDue();
    void rearm();

    TimerClock clock_;
    int fd_ = -1;
    GSourcePtr source_;
    // Deadlines on clockNow()'s scale.
    TimerQueue timers_;
};

} // namespace ostral::support
