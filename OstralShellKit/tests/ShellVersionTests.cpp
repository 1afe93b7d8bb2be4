#include <OstralShellKit/ShellVersion.h>

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace ostral {
namespace {

TEST(ShellVersion, ParsesTwoOrThreeAsciiNumbers) {
    struct Case {
        std::string name;
        std::string text;
        std::optional<ShellVersion> expected;
    };
    const std::vector<Case> cases = {
        {"three parts", "1.4.2", ShellVersion{1, 4, 2}},
        {"two parts, patch 0", "1.4", ShellVersion{1, 4, 0}},
        {"spaces before and a tab after", "  1.4.2\t", ShellVersion{1, 4, 2}},
        {"no-break spaces around", "\u00A01.4.2\u3000", ShellVersion{1, 4, 2}},
        {"leading zeros", "01.004.0", ShellVersion{1, 4, 0}},
        {"all zeros", "0.0.0", ShellVersion{0, 0, 0}},
        {"largest 64-bit part", "9223372036854775807.0.1", ShellVersion{9223372036854775807, 0, 1}},
        {"many leading zeros", "0000000000000000000000000001.2", ShellVersion{1, 2, 0}},
        {"one piece", "1", std::nullopt},
        {"four pieces", "1.4.2.7", std::nullopt},
        {"empty middle piece", "1..2", std::nullopt},
        {"trailing point", "1.4.", std::nullopt},
        {"leading point", ".4.2", std::nullopt},
        {"only points", "..", std::nullopt},
        {"v prefix", "v1.4.2", std::nullopt},
        {"pre-release suffix", "1.4.2-beta", std::nullopt},
        {"letter piece", "1.4.x", std::nullopt},
        {"plus sign", "+1.4", std::nullopt},
        {"minus sign", "-1.4", std::nullopt},
        {"space inside", "1. 4.2", std::nullopt},
        {"trailing line break", "1.4.2\n", std::nullopt},
        {"leading line break", "\n1.4.2", std::nullopt},
        {"Arabic-Indic digits", "1.٤.2", std::nullopt},
        {"full-width digits", "１.4.2", std::nullopt},
        {"twenty nines", "99999999999999999999.0.0", std::nullopt},
        {"one above the 64-bit limit", "1.9223372036854775808", std::nullopt},
        {"empty", "", std::nullopt},
        {"only spaces", "   ", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ShellVersion::parse(c.text), c.expected) << c.text;
    }
}

TEST(ShellVersion, OrdersPartByPartNumerically) {
    struct Case {
        std::string name;
        ShellVersion lower, higher;
    };
    const std::vector<Case> cases = {
        {"minor 10 above minor 9", {1, 9, 9}, {1, 10, 0}},
        {"major decides first", {1, 99, 99}, {2, 0, 0}},
        {"patch decides last", {1, 4, 0}, {1, 4, 1}},
        {"large numbers", {1, 0, 9223372036854775806}, {1, 0, 9223372036854775807}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_LT(c.lower, c.higher);
        EXPECT_GT(c.higher, c.lower);
        EXPECT_NE(c.lower, c.higher);
    }
    EXPECT_EQ(*ShellVersion::parse("1.4"), (ShellVersion{1, 4, 0}));
    EXPECT_LE((ShellVersion{1, 4, 0}), *ShellVersion::parse("01.04.00"));
}

TEST(ShellVersion, WritesItsTextForm) {
    EXPECT_EQ((ShellVersion{1, 10, 0}).text(), "1.10.0");
    EXPECT_EQ(ShellVersion::parse("01.004")->text(), "1.4.0");
    EXPECT_EQ((ShellVersion{9223372036854775807, 0, 0}).text(), "9223372036854775807.0.0");
}

TEST(ShellVersion, EqualVersionsHashAlikeAndDistinctOnesAreKeptApart) {
    std::unordered_set<ShellVersion> versions = {{1, 4, 0}, {1, 4, 0}, {4, 1, 0}, {0, 1, 4}};
    versions.insert(*ShellVersion::parse("1.4"));
    EXPECT_EQ(versions.size(), 3u);
    EXPECT_EQ(std::hash<ShellVersion>{}({1, 4, 0}),
              std::hash<ShellVersion>{}(*ShellVersion::parse("1.4")));
}

} // namespace
} // namespace ostral
