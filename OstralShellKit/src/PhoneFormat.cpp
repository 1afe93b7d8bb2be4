#include <OstralShellKit/PhoneFormat.h>
#include <OstralShellKit/Text.h>

#include <algorithm>

namespace ostral::PhoneFormat {

std::string display(std::string_view number) {
    if (number.size() != 12 || !number.starts_with("+1")) {
        return std::string(number);
    }
    const std::string_view digits = number.substr(2);
    if (!std::all_of(digits.begin(), digits.end(), text::isAsciiDigit)) {
        return std::string(number);
    }
    std::string formatted = "(";
    formatted += digits.substr(0, 3);
    formatted += ") ";
    formatted += digits.substr(3, 3);
    formatted += "-";
    formatted += digits.substr(6, 4);
    return formatted;
}

} // namespace ostral::PhoneFormat
