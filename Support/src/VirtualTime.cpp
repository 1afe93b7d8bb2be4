#include <Support/MainContext.h>
#include <Support/VirtualTime.h>

#include <algorithm>

namespace ostral::support {
namespace {

std::chrono::microseconds saturatingAdd(std::chrono::microseconds a, std::chrono::microseconds b) {
    using Micro = std::chrono::microseconds;
    if (b.count() > 0 && a > Micro::max() - b) {
        return Micro::max();
    }
    if (b.count() < 0 && a < Micro::min() - b) {
        return Micro::min();
    }
    return a + b;
}

} // namespace

VirtualTime::VirtualTime(Date start)
    : start_(start) {}

VirtualTime::~VirtualTime() {
    // Callbacks are destroyed after the queue is empty, because what they own may call cancel().
    const auto callbacks = timers_.takeAll();
}

Date VirtualTime::now() const {
    return Date(saturatingAdd(saturatingAdd(start_.time_since_epoch(), clockOffset_), elapsed_));
}

TimerId VirtualTime::schedule(std::chrono::microseconds delay, std::function<void()> callback) {
    delay = std::clamp(delay, std::chrono::microseconds(0), kLongestTimerDelay);
    return timers_.add(saturatingAdd(elapsed_, delay), std::move(callback));
}

void VirtualTime::cancel(TimerId id) {
    // The callback is destroyed on return, once the queue is consistent.
    const auto callback = timers_.remove(id);
}

void VirtualTime::advance(std::chrono::microseconds duration) {
    const auto target = saturatingAdd(elapsed_, std::max(duration, std::chrono::microseconds(0)));
    runPending();
    while (!timers_.empty() && timers_.firstDue() <= target) {
        auto [due, callback] = timers_.takeFirst();
        // A nested advance() from a callback may already have moved past this due time.
        elapsed_ = std::max(elapsed_, due);
        callback();
        runPending();
    }
    elapsed_ = std::max(elapsed_, target);
}

bool VirtualTime::advanceToNext() {
    const auto next = nextDueIn();
    if (!next) {
        runPending();
        return false;
    }
    advance(*next);
    return true;
}

std::optional<std::chrono::microseconds> VirtualTime::nextDueIn() const {
    if (timers_.empty()) {
        return std::nullopt;
    }
    return std::max(timers_.firstDue() - elapsed_, std::chrono::microseconds(0));
}

void VirtualTime::jumpClock(std::chrono::microseconds offset) {
    clockOffset_ = saturatingAdd(clockOffset_, offset);
}

} // namespace ostral::support
