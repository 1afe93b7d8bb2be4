#include <OstralShellKit/UpdateFloor.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

TEST(UpdateFloor, RequiresTheHighestFloorOrMandatoryReleaseAboveTheRunningVersion) {
    struct Case {
        std::string name;
        ShellVersion running;
        std::optional<std::string> floor;
        std::vector<MacRelease> releases;
        std::optional<ShellVersion> expected;
    };
    const std::vector<Case> cases = {
        {"running equal to the floor is enough", {1, 4, 0}, "1.4", {}, std::nullopt},
        {"running above the floor", {1, 4, 1}, "1.4.0", {}, std::nullopt},
        {"floor one patch higher", {1, 4, 0}, "1.4.1", {}, ShellVersion{1, 4, 1}},
        {"a mandatory release above the floor wins",
         {1, 4, 0},
         "1.3.9",
         {{"macos", "1.5", true}},
         ShellVersion{1, 5, 0}},
        {"a floor above the mandatory release wins",
         {1, 4, 0},
         "1.6",
         {{"macos", "1.5", true}},
         ShellVersion{1, 6, 0}},
        {"highest of several mandatory releases",
         {1, 0, 0},
         std::nullopt,
         {{"macos", "1.2", true}, {"macos", "1.10", true}, {"macos", "1.9.9", true}},
         ShellVersion{1, 10, 0}},
        {"a newer non-mandatory release is not required",
         {1, 4, 0},
         std::nullopt,
         {{"macos", "2.0.0", false}},
         std::nullopt},
        {"a mandatory release on another channel is ignored",
         {1, 4, 0},
         std::nullopt,
         {{"windows", "3.0", true}, {"MacOS", "3.0", true}},
         std::nullopt},
        {"an unparsable floor leaves the release to decide",
         {1, 4, 0},
         "latest",
         {{"macos", "1.4.2", true}},
         ShellVersion{1, 4, 2}},
        {"unparsable release versions are dropped",
         {1, 4, 0},
         "1.4.1",
         {{"macos", "v9.0", true}, {"macos", "", true}},
         ShellVersion{1, 4, 1}},
        {"numeric, not textual, comparison", {1, 9, 9}, "1.10", {}, ShellVersion{1, 10, 0}},
        {"no floor and no releases", {0, 0, 1}, std::nullopt, {}, std::nullopt},
        {"everything below the running version",
         {2, 0, 0},
         "1.9",
         {{"macos", "1.9.9", true}},
         std::nullopt},
        {"a floor with spaces around it", {1, 0, 0}, " 1.1\t", {}, ShellVersion{1, 1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(UpdateFloor::requiredVersion(c.running, c.floor, c.releases), c.expected);
    }
}

TEST(UpdateFloor, ANewerReleaseIsAParsableHigherVersionOnThisChannel) {
    struct Case {
        std::string name;
        MacRelease release;
        bool expected;
    };
    const ShellVersion running{1, 4, 0};
    const std::vector<Case> cases = {
        {"non-mandatory and higher", {"macos", "2.0.0", false}, true},
        {"mandatory and higher", {"macos", "1.4.1", true}, true},
        {"equal", {"macos", "1.4", false}, false},
        {"lower", {"macos", "1.3.9", true}, false},
        {"numerically higher minor", {"macos", "1.10", false}, true},
        {"another channel", {"linux", "9.0", true}, false},
        {"unparsable version", {"macos", "2.0-beta", false}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(UpdateFloor::isNewer(running, c.release), c.expected);
    }
}

} // namespace
} // namespace ostral
