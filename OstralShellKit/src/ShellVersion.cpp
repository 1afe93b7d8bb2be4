#include <OstralShellKit/ShellVersion.h>
#include <OstralShellKit/Text.h>

#include <limits>
#include <vector>

namespace ostral {

namespace {

std::optional<std::int64_t> parsePart(std::string_view piece) {
    if (piece.empty()) {
        return std::nullopt;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (char c : piece) {
        if (!text::isAsciiDigit(c)) {
            return std::nullopt;
        }
        const int digit = c - '0';
        if (value > (kMax - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

std::optional<ShellVersion> ShellVersion::parse(std::string_view text) {
    const std::string_view trimmed = text::trimSpacesAndTabs(text);
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t point = trimmed.find('.', start);
        pieces.push_back(point == std::string_view::npos ? trimmed.substr(start)
                                                         : trimmed.substr(start, point - start));
        if (point == std::string_view::npos || pieces.size() > 3) {
            break;
        }
        start = point + 1;
    }
    if (pieces.size() < 2 || pieces.size() > 3) {
        return std::nullopt;
    }
    std::int64_t parts[3] = {0, 0, 0};
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        auto part = parsePart(pieces[i]);
        if (!part) {
            return std::nullopt;
        }
        parts[i] = *part;
    }
    return ShellVersion{parts[0], parts[1], parts[2]};
}

std::string ShellVersion::text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

} // namespace ostral
