#include <OstralShellKit/SupabaseDate.h>
#include <OstralShellKit/Text.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace ostral::SupabaseDate {

namespace {

using text::isAsciiDigit;

bool isSign(char c) {
    return c == '+' || c == '-';
}

// PostgreSQL writes a whole-hour offset as "+00"; the internet date-time needs "+00:00".
void completeHourOffset(std::string& text) {
    const std::size_t n = text.size();
    if (n >= 3 && isSign(text[n - 3]) && isAsciiDigit(text[n - 2]) && isAsciiDigit(text[n - 1])) {
        text += ":00";
    }
}

// Brings the first fraction of a second to exactly three digits: the backend writes
// microseconds, or fewer digits when the trailing ones are zero, and we keep milliseconds.
void normaliseFraction(std::string& text) {
    for (std::size_t point = 0; point + 1 < text.size(); ++point) {
        if (text[point] != '.' || !isAsciiDigit(text[point + 1])) {
            continue;
        }
        std::size_t end = point + 1;
        while (end < text.size() && isAsciiDigit(text[end])) {
            ++end;
        }
        const std::string digits = (text.substr(point + 1, end - point - 1) + "000").substr(0, 3);
        text.replace(point + 1, end - point - 1, digits);
        return;
    }
}

// Reads an RFC 3339 internet date-time, strictly and in ASCII only:
// YYYY-MM-DDTHH:MM:SS, then ".fff" exactly when `withFraction`, then "Z" or +hh:mm / -hh:mm.
class InternetDateTimeReader {
public:
    explicit InternetDateTimeReader(std::string_view text)
        : text_(text) {}

    std::optional<Date> read(bool withFraction) {
        int year = 0;
        int month = 0;
        int day = 0;
        int hour = 0;
        int minute = 0;
        int second = 0;
        if (!number(4, year) || !literal('-') || !number(2, month) || !literal('-') ||
            !number(2, day) || !literal('T') || !number(2, hour) || !literal(':') ||
            !number(2, minute) || !literal(':') || !number(2, second)) {
            return std::nullopt;
        }
        std::chrono::microseconds fraction{0};
        if (withFraction) {
            if (!literal('.')) {
                return std::nullopt;
            }
            std::int64_t millis = 0;
            int digits = 0;
            while (position_ < text_.size() && isAsciiDigit(text_[position_])) {
                if (digits < 3) {
                    millis = millis * 10 + (text_[position_] - '0');
                }
                ++digits;
                ++position_;
            }
            if (digits == 0) {
                return std::nullopt;
            }
            for (int i = digits; i < 3; ++i) {
                millis *= 10;
            }
            fraction = std::chrono::milliseconds(millis);
        }
        auto offset = zone();
        if (!offset || position_ != text_.size()) {
            return std::nullopt;
        }

        const std::chrono::year_month_day date{std::chrono::year(year),
                                               std::chrono::month(static_cast<unsigned>(month)),
                                               std::chrono::day(static_cast<unsigned>(day))};
        if (!date.ok() || hour > 23 || minute > 59 || second > 59) {
            return std::nullopt;
        }
        const auto local = std::chrono::sys_days(date) + std::chrono::hours(hour) +
                           std::chrono::minutes(minute) + std::chrono::seconds(second);
        return Date(
            std::chrono::duration_cast<std::chrono::microseconds>(local.time_since_epoch()) +
            fraction - *offset);
    }

private:
    bool literal(char expected) {
        if (position_ < text_.size() && text_[position_] == expected) {
            ++position_;
            return true;
        }
        return false;
    }

    // Exactly `digits` ASCII digits; at most four, so the value always fits.
    bool number(int digits, int& value) {
        value = 0;
        for (int i = 0; i < digits; ++i) {
            if (position_ >= text_.size() || !isAsciiDigit(text_[position_])) {
                return false;
            }
            value = value * 10 + (text_[position_] - '0');
            ++position_;
        }
        return true;
    }

    // The offset from UTC that the zone names.
    std::optional<std::chrono::minutes> zone() {
        if (literal('Z')) {
            return std::chrono::minutes(0);
        }
        if (position_ >= text_.size() || !isSign(text_[position_])) {
            return std::nullopt;
        }
        const int sign = text_[position_] == '-' ? -1 : 1;
        ++position_;
        int hours = 0;
        int minutes = 0;
        if (!number(2, hours) || !literal(':') || !number(2, minutes) || hours > 23 ||
            minutes > 59) {
            return std::nullopt;
        }
        return std::chrono::minutes(sign * (hours * 60 + minutes));
    }

    std::string_view text_;
    std::size_t position_ = 0;
};

} // namespace

std::optional<Date> parse(std::string_view raw) {
    std::string text(text::trimSpacesAndTabs(raw));
    if (text.size() < 19) {
        return std::nullopt;
    }
    if (text[10] == ' ') {
        text[10] = 'T';
    }
    completeHourOffset(text);
    normaliseFraction(text);
    if (auto date = InternetDateTimeReader(text).read(/*withFraction=*/true)) {
        return date;
    }
    return InternetDateTimeReader(text).read(/*withFraction=*/false);
}

} // namespace ostral::SupabaseDate
