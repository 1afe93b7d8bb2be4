#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostral {

// How a staff member wants one of their lines to alert: ring aloud, show and notify without
// sound, or not at all. A line with no stored mode rings.
class LineMode {
public:
    enum Value : std::uint8_t { ring, silent, off };

    // Every mode, in the order pickers list them.
    static const std::array<LineMode, 3> allCases;

    constexpr LineMode(Value value)
        : value_(value) {}
    constexpr operator Value() const { return value_; }

    static std::optional<LineMode> fromRawValue(std::string_view text);
    std::string_view rawValue() const;
    std::string_view label() const;

private:
    Value value_;
};

inline constexpr std::array<LineMode, 3> LineMode::allCases{LineMode::ring, LineMode::silent,
                                                            LineMode::off};

} // namespace ostral
