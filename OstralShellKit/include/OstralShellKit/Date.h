#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>

namespace ostral {

// A point in time, to the microsecond, counted from the Unix epoch in UTC. Every time the
// shell reasons about is one of these; "now" is always passed in, never read here.
using Date = std::chrono::sys_time<std::chrono::microseconds>;

// A length of time in seconds as a floating-point number (ages, intervals, countdowns).
using Seconds = std::chrono::duration<double>;

// Seconds from `from` to `to` (negative when `to` is earlier).
inline double secondsBetween(Date from, Date to) {
    return std::chrono::duration<double>(to - from).count();
}

// A number of seconds as microseconds, rounded. Values from outside (a backend's age, say) may
// be huge or not a number; they are held to +-1e12 seconds (about 31,700 years) and NaN counts as
// zero, so that date arithmetic can never overflow.
inline std::chrono::microseconds microsecondsFromSeconds(double seconds) {
    if (std::isnan(seconds)) {
        return std::chrono::microseconds(0);
    }
    const double held = std::fmax(-1e12, std::fmin(1e12, seconds));
    return std::chrono::microseconds(static_cast<std::int64_t>(std::llround(held * 1e6)));
}

// `date` moved by a number of seconds, rounded to the nearest microsecond.
inline Date addingSeconds(Date date, double seconds) {
    return date + microsecondsFromSeconds(seconds);
}

inline Date dateFromUnixSeconds(double seconds) {
    return Date{} + microsecondsFromSeconds(seconds);
}

// The shell's own timestamp form: UTC, to the second, ending in "Z" (2024-05-01T13:45:10Z).
std::string isoTimestamp(Date date);

} // namespace ostral
