#pragma once

#include <chrono>
#include <cmath>
#include <type_traits>

namespace ostral::support {

// A point in time, to the microsecond, counted from the Unix epoch in UTC. This is the very type
// the kit calls ostral::Date; Support cannot include the kit, so it names the type itself.
using Date = std::chrono::sys_time<std::chrono::microseconds>;

// Where "now" comes from. Controllers take a Clock& so that tests can drive time (VirtualTime);
// the application passes a SystemClock. Main thread only, like everything that reads it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
};

// The wall clock (g_get_real_time). It can jump when the system time is set.
class SystemClock final : public Clock {
public:
    Date now() const override;
};

// `duration` in microseconds, rounded up, saturating at the ends of the range and reading NaN as
// zero, so that an interval that came from outside can never overflow or cast out of range.
template <typename Rep, typename Period>
std::chrono::microseconds saturatingMicroseconds(std::chrono::duration<Rep, Period> duration) {
    const double approximate = std::chrono::duration<double, std::micro>(duration).count();
    if (std::isnan(approximate)) {
        return std::chrono::microseconds(0);
    }
    // 9.2e18 is just below the largest count microseconds can hold, with room for rounding.
    if (approximate >= 9.2e18) {
        return std::chrono::microseconds::max();
    }
    if (approximate <= -9.2e18) {
        return std::chrono::microseconds::min();
    }
    return std::chrono::ceil<std::chrono::microseconds>(duration);
}

} // namespace ostral::support
