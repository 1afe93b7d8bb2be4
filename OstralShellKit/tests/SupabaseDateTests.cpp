#include <OstralShellKit/SupabaseDate.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ostral {
namespace {

using namespace std::chrono;

Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    return Date(sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + seconds(s) +
                milliseconds(ms));
}

struct DateCase {
    std::string name;
    std::string text;
    std::optional<Date> expected;
};

TEST(SupabaseDate, ReadsBothBackendShapesToTheMillisecond) {
    const Date instant = utc(2024, 5, 1, 13, 45, 10, 123);
    const std::vector<DateCase> cases = {
        {"PostgreSQL text form with microseconds and an hour offset",
         "2024-05-01 13:45:10.123456+00", instant},
        {"ISO form with milliseconds and a full offset", "2024-05-01T13:45:10.123+00:00", instant},
        {"ISO form with microseconds", "2024-05-01T13:45:10.123456+00:00", instant},
        {"Z zone", "2024-05-01T13:45:10.123Z", instant},
        {"no fraction, through the second attempt", "2024-05-01T13:45:10Z",
         utc(2024, 5, 1, 13, 45, 10)},
        {"no fraction with an hour offset", "2024-05-01 13:45:10+00", utc(2024, 5, 1, 13, 45, 10)},
        {"one fraction digit and a negative hour offset", "2024-05-01T13:45:10.5-05",
         utc(2024, 5, 1, 18, 45, 10, 500)},
        {"two fraction digits are tenths and hundredths", "2024-05-01T13:45:10.12Z",
         utc(2024, 5, 1, 13, 45, 10, 120)},
        {"extra fraction digits are cut, not rounded", "2024-05-01T13:45:10.999999Z",
         utc(2024, 5, 1, 13, 45, 10, 999)},
        {"half-hour offset", "2024-05-01T19:15:10.123+05:30", instant},
        {"offset that crosses midnight backwards", "2024-05-01T00:30:00-03:00",
         utc(2024, 5, 1, 3, 30, 0)},
        {"offset that crosses into the previous day", "2024-05-01T02:00:00+05:00",
         utc(2024, 4, 30, 21, 0, 0)},
        {"two spaces on each side", "  2024-05-01 13:45:10.123456+00  ", instant},
        {"tabs and a no-break space on each side", "\t\u00A02024-05-01T13:45:10.123Z\t", instant},
        {"leap day of a leap year", "2024-02-29T00:00:00Z", utc(2024, 2, 29, 0, 0, 0)},
        {"leap day of a year divisible by 400", "2000-02-29T00:00:00Z", utc(2000, 2, 29, 0, 0, 0)},
        {"before 1970", "1969-12-31T23:59:59.001Z", utc(1969, 12, 31, 23, 59, 59, 1)},
        {"last second of a day", "2024-12-31T23:59:59Z", utc(2024, 12, 31, 23, 59, 59)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SupabaseDate::parse(c.text), c.expected) << c.text;
    }
}

TEST(SupabaseDate, GivesNoDateForAnythingElse) {
    const std::vector<std::string> refused = {
        "",
        "2024-05-01",                       // date only, 10 characters
        "2024-05-01T13:45Z",                // no seconds, under 19 characters
        "2024-05-01T13:45:10",              // no zone
        "2024-05-01T13:45:10.123",          // no zone after a fraction
        "2024-05-01T13:45:10.123456",       // no zone after microseconds
        "2024-05-01T13:45:10+0530",         // offset without a colon
        "2024-05-01T13:45:10+5:30",         // one-digit offset hour
        "2024-05-01T13:45:10+24:00",        // offset hour out of range
        "2024-05-01T13:45:10+05:60",        // offset minute out of range
        "2024-05-01T13:45:10.Z",            // a point without digits
        "2024-05-01T13:45:10.123.456Z",     // a second fraction
        "2024-05-01T13:45:10z",             // lower-case zone
        "2024-05-01t13:45:10Z",             // lower-case separator
        "2024-05-01  13:45:10Z",            // two spaces inside
        "2024/05/01T13:45:10Z",             // slashes
        "24-05-01T13:45:10.123Z",           // two-digit year
        "2024-5-01T13:45:10.123Z",          // one-digit month
        "2024-13-01T13:45:10Z",             // month 13
        "2024-00-01T13:45:10Z",             // month 0
        "2024-05-00T13:45:10Z",             // day 0
        "2024-04-31T13:45:10Z",             // April has 30 days
        "2023-02-29T13:45:10Z",             // not a leap year
        "1900-02-29T13:45:10Z",             // centuries are leap years only by 400
        "2024-05-01T24:00:00Z",             // hour 24
        "2024-05-01T13:60:10Z",             // minute 60
        "2024-05-01T13:45:60Z",             // leap seconds are not accepted
        "2024-05-01T13:45:10Z\n",           // line breaks are not trimmed
        "\n2024-05-01T13:45:10Z",           // nor is a leading one
        "2024-05-01T13:45:10ZZ",            // trailing text
        "x2024-05-01T13:45:10Z",            // leading text
        "２０２４-05-01T13:45:10Z",         // full-width digits
        "2024-05-01T13:45:10.١٢٣Z",         // Arabic-Indic digits in the fraction
        "2024-05-01T13:45:10.123٤Z",        // a non-ASCII digit after three ASCII ones
        "2024-05-01T13:45:10+٠٥",           // Arabic-Indic digits in the offset
        "yesterday at a quarter to two pm", // words
        std::string("2024-05-01T13:45:10\0Z", 21),
    };
    for (const auto& text : refused) {
        EXPECT_EQ(SupabaseDate::parse(text), std::nullopt) << text;
    }
}

} // namespace
} // namespace ostral
