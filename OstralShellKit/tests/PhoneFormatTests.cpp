#include <OstralShellKit/PhoneFormat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

TEST(PhoneFormat, FormatsNorthAmericanNumbersAndLeavesTheRestAlone) {
    struct Case {
        std::string name;
        std::string number;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"North American E.164", "+15551234567", "(555) 123-4567"},
        {"all zeros", "+10000000000", "(000) 000-0000"},
        {"other country code", "+445551234567", "+445551234567"},
        {"no plus", "15551234567", "15551234567"},
        {"ten digits without a country code", "5551234567", "5551234567"},
        {"nine digits", "+1555123456", "+1555123456"},
        {"eleven digits", "+155512345678", "+155512345678"},
        {"spaces inside", "+1 555 123 4567", "+1 555 123 4567"},
        {"a trailing space", "+15551234567 ", "+15551234567 "},
        {"a trailing line break", "+15551234567\n", "+15551234567\n"},
        {"a letter among the digits", "+1555123456a", "+1555123456a"},
        {"full-width digits", "+1５５５1234567", "+1５５５1234567"},
        {"empty", "", ""},
        {"just the prefix", "+1", "+1"},
        {"anonymous caller", "anonymous", "anonymous"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PhoneFormat::display(c.number), c.expected);
    }
}

} // namespace
} // namespace ostral
