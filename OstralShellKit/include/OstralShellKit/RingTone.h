#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostral {

// How a ring tone sounds: every `period` seconds a chord of `frequencies` that starts at `gain`
// and fades linearly to nothing over `burst` seconds, then silence until the next cycle.
//
// The audio thread calls `sample` once per frame, so the pattern is a fixed-size value: copying
// it or reading it never allocates and never locks.
struct RingPattern {
    static constexpr double burst = 1.2;
    static constexpr double period = 3.0;

    std::array<double, 2> frequencies{};
    double gain = 0.0;

    bool operator==(const RingPattern&) const = default;

    // One sample, `t` seconds after the tone started, scaled by `volume`. Silence outside the
    // burst of each cycle and whenever `volume` is not above zero (NaN included).
    float sample(double t, double volume) const;
};

class RingTone {
public:
    enum Value : std::uint8_t { recruiting, fleet };

    static const std::array<RingTone, 2> allCases;

    constexpr RingTone(Value value)
        : value_(value) {}
    constexpr operator Value() const { return value_; }

    static std::optional<RingTone> fromRawValue(std::string_view text);
    std::string_view rawValue() const;
    RingPattern pattern() const;

private:
    Value value_;
};

inline constexpr std::array<RingTone, 2> RingTone::allCases{RingTone::recruiting, RingTone::fleet};

} // namespace ostral
