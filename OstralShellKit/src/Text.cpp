#include <OstralShellKit/Text.h>

#include <array>

namespace ostral::text {

namespace {

// The UTF-8 forms of the space separators other than the plain space.
constexpr std::array<std::string_view, 15> kWideSpaces = {
    "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005",
    "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F",
};
constexpr std::string_view kIdeographicSpace = "\u3000";

// The length in bytes of the space at the front of `text`, or 0.
std::size_t spaceAtFront(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    if (text.front() == ' ' || text.front() == '\t') {
        return 1;
    }
    for (auto space : kWideSpaces) {
        if (text.starts_with(space)) {
            return space.size();
        }
    }
    return text.starts_with(kIdeographicSpace) ? kIdeographicSpace.size() : 0;
}

std::size_t spaceAtBack(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    if (text.back() == ' ' || text.back() == '\t') {
        return 1;
    }
    for (auto space : kWideSpaces) {
        if (text.ends_with(space)) {
            return space.size();
        }
    }
    return text.ends_with(kIdeographicSpace) ? kIdeographicSpace.size() : 0;
}

} // namespace

std::string_view trimSpacesAndTabs(std::string_view text) {
    while (auto n = spaceAtFront(text)) {
        text.remove_prefix(n);
    }
    while (auto n = spaceAtBack(text)) {
        text.remove_suffix(n);
    }
    return text;
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace ostral::text
