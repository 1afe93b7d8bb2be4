#pragma once

#include <cstdint>
#include <string_view>

// The brand colours of the sign-in and reconnecting screens: opaque sRGB.
namespace ostral {

struct BrandColor {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
    std::string_view hex;
};

namespace OstralBrand {
inline constexpr BrandColor navy{30, 58, 95, "#1E3A5F"};
inline constexpr BrandColor blue{37, 99, 235, "#2563EB"};
} // namespace OstralBrand

} // namespace ostral
