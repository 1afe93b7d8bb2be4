#include "DecodingCases.h"

#include <OstralShellKit/MacRelease.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

using Kind = DecodingError::Kind;

TEST(MacRelease, DecodesARowAndIgnoresOtherColumns) {
    const auto release = MacRelease::decode(std::string_view(
        R"({"channel": "macos", "version": "1.5", "mandatory": true, "notes": "Faster ringing"})"));
    ASSERT_TRUE(release.hasValue()) << release.error().description();
    EXPECT_EQ(*release, (MacRelease{"macos", "1.5", true}));

    const auto unparsable =
        MacRelease::decode(Json{{"channel", "windows"}, {"version", "next"}, {"mandatory", false}});
    ASSERT_TRUE(unparsable.hasValue());
    EXPECT_EQ(*unparsable, (MacRelease{"windows", "next", false}));
}

TEST(MacRelease, RequiresEveryKeyWithItsExactType) {
    const std::vector<FieldFailure> cases = {
        {"no channel", "channel", std::nullopt, Kind::keyNotFound},
        {"no version", "version", std::nullopt, Kind::keyNotFound},
        {"no mandatory flag", "mandatory", std::nullopt, Kind::keyNotFound},
        {"null channel", "channel", Json(nullptr), Kind::valueNotFound},
        {"numeric version", "version", Json(1.5), Kind::typeMismatch},
        {"mandatory as text", "mandatory", Json("true"), Kind::typeMismatch},
        {"mandatory as a number", "mandatory", Json(1), Kind::typeMismatch},
        {"null mandatory flag", "mandatory", Json(nullptr), Kind::valueNotFound},
    };
    const Json row{{"channel", "macos"}, {"version", "1.5.0"}, {"mandatory", true}};
    expectFieldFailures(row, cases, [](const Json& value) { return MacRelease::decode(value); });
}

TEST(MacRelease, DecodesAListOrFailsOnItsFirstBadRow) {
    const auto releases = MacRelease::decodeList(std::string_view(
        R"([{"channel": "macos", "version": "1.5", "mandatory": true},
            {"channel": "macos", "version": "1.6", "mandatory": false}])"));
    ASSERT_TRUE(releases.hasValue()) << releases.error().description();
    const std::vector<MacRelease> expected = {{"macos", "1.5", true}, {"macos", "1.6", false}};
    EXPECT_EQ(*releases, expected);

    const auto broken = MacRelease::decodeList(std::string_view(
        R"([{"channel": "macos", "version": "1.5", "mandatory": true},
            {"channel": "macos", "version": 1.6, "mandatory": false}])"));
    ASSERT_FALSE(broken.hasValue());
    EXPECT_EQ(broken.error().kind, Kind::typeMismatch);
    EXPECT_EQ(broken.error().key, "[1].version");

    const auto notAList =
        MacRelease::decodeList(Json{{"channel", "macos"}, {"version", "1.5"}, {"mandatory", true}});
    ASSERT_FALSE(notAList.hasValue());
    EXPECT_EQ(notAList.error().kind, Kind::typeMismatch);
}

} // namespace
} // namespace ostral
