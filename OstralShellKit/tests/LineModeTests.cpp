#include "Printers.h"

#include <OstralShellKit/LineMode.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

TEST(LineMode, HasRawValuesAndLabelsInCaseOrder) {
    struct Case {
        LineMode mode;
        std::string rawValue;
        std::string label;
    };
    const std::vector<Case> cases = {
        {LineMode::ring, "ring", "Ring"},
        {LineMode::silent, "silent", "Silent"},
        {LineMode::off, "off", "Off"},
    };
    ASSERT_EQ(LineMode::allCases.size(), cases.size());
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const auto& c = cases[index];
        SCOPED_TRACE(c.rawValue);
        EXPECT_EQ(LineMode::allCases[index], c.mode);
        EXPECT_EQ(c.mode.rawValue(), c.rawValue);
        EXPECT_EQ(c.mode.label(), c.label);
        EXPECT_EQ(LineMode::fromRawValue(c.rawValue), c.mode);
    }
}

TEST(LineMode, OtherTextsAreNoMode) {
    for (const char* text : {"", "Ring", "OFF", "mute", "silent ", "ringing"}) {
        EXPECT_EQ(LineMode::fromRawValue(text), std::nullopt) << text;
    }
}

} // namespace
} // namespace ostral
