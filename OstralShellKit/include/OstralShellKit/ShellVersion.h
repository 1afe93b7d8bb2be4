#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace ostral {

// A three-part application version, ordered numerically part by part (1.10.0 > 1.9.9).
struct ShellVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;

    // "1.4.2" or "1.4" (patch 0), with spaces and tabs around it; ASCII digits only, leading
    // zeros allowed, every part within a signed 64-bit integer. Anything else is no version.
    static std::optional<ShellVersion> parse(std::string_view text);

    // "1.10.0": the form of logs and screens.
    std::string text() const;

    bool operator==(const ShellVersion&) const = default;
    auto operator<=>(const ShellVersion&) const = default;
};

} // namespace ostral

template <>
struct std::hash<ostral::ShellVersion> {
    std::size_t operator()(const ostral::ShellVersion& version) const noexcept {
        std::size_t h = 0;
        for (std::int64_t part : {version.major, version.minor, version.patch}) {
            h = h * 1099511628211ull ^ std::hash<std::int64_t>{}(part);
        }
        return h;
    }
};
