#include <Support/Log.h>
#include <Support/TimerSource.h>

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>

namespace ostral::support {
namespace {

struct TimerGSource {
    GSource base;
    // Cleared when the owner goes, which a timer callback may cause during the dispatch.
    MainLoopTimerSource* owner;
};

std::int64_t bootTimeMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

} // namespace

MainLoopTimerSource::MainLoopTimerSource(TimerClock clock)
    : clock_(clock) {
    static GSourceFuncs funcs = {nullptr, nullptr, &MainLoopTimerSource::dispatch,
                                 nullptr, nullptr, nullptr};
    source_ = GSourcePtr(g_source_new(&funcs, sizeof(TimerGSource)), kAdopt);
    reinterpret_cast<TimerGSource*>(source_.get())->owner = this;
    g_source_set_name(source_.get(), "ostral timers");
    g_source_set_priority(source_.get(), G_PRIORITY_DEFAULT);

    if (clock_ == TimerClock::continuous) {
        fd_ = timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd_ >= 0) {
            g_source_add_unix_fd(source_.get(), fd_, G_IO_IN);
        } else {
            static bool warned = false;
            if (!std::exchange(warned, true)) {
                Logger(kAppSubsystem, "app")
                    .error("timerfd on CLOCK_BOOTTIME unavailable; timers pause during suspend");
            }
            clock_ = TimerClock::monotonic;
        }
    }
    GMainContextPtr context(g_main_context_ref_thread_default(), kAdopt);
    g_source_attach(source_.get(), context.get());
}

MainLoopTimerSource::~MainLoopTimerSource() {
    reinterpret_cast<TimerGSource*>(source_.get())->owner = nullptr;
    g_source_destroy(source_.get());
    if (fd_ >= 0) {
        close(fd_);
    }
    // Callbacks are destroyed after the queue is empty, because what they own (a task frame's
    // sleep, say) may call cancel() on this object.
    const auto callbacks = timers_.takeAll();
}

TimerId MainLoopTimerSource::schedule(std::chrono::microseconds delay,
                                      std::function<void()> callback) {
    delay = std::clamp(delay, std::chrono::microseconds(0), kLongestTimerDelay);
    const TimerQueue::Due deadline(clockNow() + delay.count());
    // An equal deadline goes after the earlier timer, so only a strictly earlier one re-arms.
    const bool earliest = timers_.empty() || deadline < timers_.firstDue();
    const TimerId id = timers_.add(deadline, std::move(callback));
    if (earliest) {
        rearm();
    }
    return id;
}

void MainLoopTimerSource::cancel(TimerId id) {
    if (timers_.empty()) {
        return;
    }
    const TimerQueue::Due earliest = timers_.firstDue();
    // The callback is destroyed on return, once the queue and the wake-up are consistent.
    const auto callback = timers_.remove(id);
    // Only losing the earliest deadline moves the wake-up.
    if (callback && (timers_.empty() || timers_.firstDue() != earliest)) {
        rearm();
    }
}

std::int64_t MainLoopTimerSource::clockNow() const {
    return clock_ == TimerClock::continuous ? bootTimeMicroseconds() : g_get_monotonic_time();
}

gboolean MainLoopTimerSource::dispatch(GSource* source, GSourceFunc, gpointer) {
    auto* timers = reinterpret_cast<TimerGSource*>(source);
    if (timers->owner != nullptr) {
        timers->owner->fireFirstDue();
    }
    return G_SOURCE_CONTINUE;
}

void MainLoopTimerSource::fireFirstDue() {
    if (fd_ >= 0) {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const auto ignored = read(fd_, &expirations, sizeof expirations);
    }
    if (!timers_.empty() && timers_.firstDue().count() <= clockNow()) {
        auto [due, callback] = timers_.takeFirst();
        // The GSource outlives this dispatch even if the callback destroys this object; its
        // owner field tells whether there is still something to rearm.
        GSourcePtr source = source_;
        callback();
        if (reinterpret_cast<TimerGSource*>(source.get())->owner == nullptr) {
            return;
        }
    }
    rearm();
}

void MainLoopTimerSource::rearm() {
    const bool idle = timers_.empty();
    const std::int64_t deadline = idle ? 0 : timers_.firstDue().count();
    if (fd_ >= 0) {
        itimerspec expiry{};
        if (!idle) {
            // An all-zero value would disarm the timer instead of firing it at once.
            const std::int64_t due = std::max<std::int64_t>(deadline, 1);
            expiry.it_value.tv_sec = static_cast<time_t>(due / 1'000'000);
            expiry.it_value.tv_nsec = static_cast<long>((due % 1'000'000) * 1000);
        }
        timerfd_settime(fd_, TFD_TIMER_ABSTIME, &expiry, nullptr);
    } else {
        g_source_set_ready_time(source_.get(), idle ? -1 : deadline);
    }
}

} // namespace ostral::support
