#include <OstralShellKit/LineMode.h>

namespace ostral {

std::optional<LineMode> LineMode::fromRawValue(std::string_view text) {
    for (const LineMode mode : allCases) {
        if (mode.rawValue() == text) {
            return mode;
        }
    }
    return std::nullopt;
}

std::string_view LineMode::rawValue() const {
    switch (value_) {
    case ring:
        return "ring";
    case silent:
        return "silent";
    case off:
        return "off";
    }
    return "ring";
}

std::string_view LineMode::label() const {
    switch (value_) {
    case ring:
        return "Ring";
    case silent:
        return "Silent";
    case off:
        return "Off";
    }
    return "Ring";
}

} // namespace ostral
