#pragma once

#include <OstralShellKit/LineMode.h>
#include <OstralShellKit/RingTone.h>

#include <ostream>

// GoogleTest finds these by argument-dependent lookup and prints the raw value in a failure
// message instead of the number behind the enumeration.
namespace ostral {

inline void PrintTo(LineMode mode, std::ostream* os) {
    *os << mode.rawValue();
}

inline void PrintTo(RingTone tone, std::ostream* os) {
    *os << tone.rawValue();
}

} // namespace ostral
