#include "DecodingCases.h"
#include "Printers.h"

#include <OstralShellKit/StaffShellPrefs.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace ostral {
namespace {

using Kind = DecodingError::Kind;
using Modes = std::map<std::string, LineMode>;
using Lines = std::vector<std::string>;

// Lines a, b and c ring aloud; m and n have no audio.
ShellConfig testConfig() {
    ShellConfig config = ShellConfig::standard();
    config.lines = {
        {"a", {"A", true, RingTone::recruiting, true, true}},
        {"b", {"B", true, RingTone::fleet, true, true}},
        {"c", {"C", true, RingTone::fleet, true, true}},
        {"m", {"M", false, RingTone::fleet, true, true}},
        {"n", {"N", false, RingTone::recruiting, true, true}},
    };
    return config;
}

StaffShellPrefs prefs(Lines lines, Modes modes) {
    StaffShellPrefs value;
    value.lines = std::move(lines);
    value.lineModes = std::move(modes);
    return value;
}

TEST(StaffShellPrefs, DecodesAPreferenceRow) {
    const std::vector<DecodedValue<StaffShellPrefs>> cases = {
        {"every field",
         R"({"lines":["b","a"],"ring_device":"usb-1","ring_volume":0.4,
             "line_modes":{"a":"off","b":"silent"}})",
         {{"b", "a"}, "usb-1", 0.4, {{"a", LineMode::off}, {"b", LineMode::silent}}}},
        {"only lines", R"({"lines":[]})", {}},
        {"null device and volume",
         R"({"lines":["a"],"ring_device":null,"ring_volume":null})",
         {{"a"}, std::nullopt, std::nullopt, {}}},
        {"ring entries and unknown modes are dropped",
         R"({"lines":[],"line_modes":{"a":"ring","b":"silent","c":"loud"}})",
         {{}, std::nullopt, std::nullopt, {{"b", LineMode::silent}}}},
        {"modes as a list are no modes", R"({"lines":[],"line_modes":["a","off"]})", {}},
        {"modes as text are no modes", R"({"lines":[],"line_modes":"off"})", {}},
        {"null modes are no modes", R"({"lines":[],"line_modes":null})", {}},
        {"modes holding a value that is not text are no modes at all",
         R"({"lines":[],"line_modes":{"a":"off","b":2}})",
         {}},
        {"a whole-number volume", R"({"lines":[],"ring_volume":1})", {{}, std::nullopt, 1.0, {}}},
    };
    expectDecodedValues(cases, [](std::string_view text) { return StaffShellPrefs::decode(text); });
}

TEST(StaffShellPrefs, RefusesRowsWithoutReadableLinesDeviceOrVolume) {
    const std::vector<DecodingFailure<>> cases = {
        {"no lines", R"({"ring_volume":0.5})", Kind::keyNotFound, "lines"},
        {"null lines", R"({"lines":null})", Kind::valueNotFound, "lines"},
        {"lines as text", R"({"lines":"a"})", Kind::typeMismatch, "lines"},
        {"a line that is not text", R"({"lines":["a",7]})", Kind::typeMismatch, "lines[1]"},
        {"a null line", R"({"lines":[null]})", Kind::typeMismatch, "lines[0]"},
        {"device as a number", R"({"lines":[],"ring_device":5})", Kind::typeMismatch,
         "ring_device"},
        {"volume as text", R"({"lines":[],"ring_volume":"loud"})", Kind::typeMismatch,
         "ring_volume"},
        {"not an object", "[]", Kind::typeMismatch, ""},
        {"not JSON", "{lines}", Kind::dataCorrupted, ""},
    };
    expectDecodingFailures(cases,
                           [](std::string_view text) { return StaffShellPrefs::decode(text); });
}

TEST(StaffShellPrefs, EmptyHasNothingStored) {
    const StaffShellPrefs empty = StaffShellPrefs::empty();
    EXPECT_TRUE(empty.lines.empty());
    EXPECT_EQ(empty.ringDevice, std::nullopt);
    EXPECT_EQ(empty.ringVolume, std::nullopt);
    EXPECT_TRUE(empty.lineModes.empty());
    EXPECT_EQ(empty.effectiveRingVolume(), 1.0);
}

TEST(StaffShellPrefs, EffectiveRingVolumeLiesWithinZeroAndOne) {
    struct Case {
        std::string name;
        std::optional<double> stored;
        double expected;
    };
    const std::vector<Case> cases = {
        {"absent is full volume", std::nullopt, 1.0},
        {"within the range is kept", 0.35, 0.35},
        {"zero is kept", 0.0, 0.0},
        {"negative is silence", -0.3, 0.0},
        {"above one is full volume", 1.7, 1.0},
        {"negative infinity is silence", -std::numeric_limits<double>::infinity(), 0.0},
        {"infinity is full volume", std::numeric_limits<double>::infinity(), 1.0},
        {"not a number is full volume", std::numeric_limits<double>::quiet_NaN(), 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StaffShellPrefs value;
        value.ringVolume = c.stored;
        EXPECT_EQ(value.effectiveRingVolume(), c.expected);
    }
}

TEST(StaffShellPrefs, ConfiguredLinesKeepTheKnownLinesInStoredOrder) {
    const StaffShellPrefs value = prefs({"c", "zz", "a", "m", "old"}, {});
    EXPECT_EQ(value.configuredLines(testConfig()), (Lines{"c", "a", "m"}));
    ShellConfig noLines = testConfig();
    noLines.lines.clear();
    EXPECT_EQ(value.configuredLines(noLines), Lines{});
}

TEST(StaffShellPrefs, StoredAndEffectiveModes) {
    struct Case {
        std::string name;
        std::string line;
        Modes modes;
        LineMode stored;
        LineMode effective;
    };
    const std::vector<Case> cases = {
        {"an audible line without an entry rings", "a", {}, LineMode::ring, LineMode::ring},
        {"an audible line stored silent",
         "a",
         {{"a", LineMode::silent}},
         LineMode::silent,
         LineMode::silent},
        {"an audible line stored off", "a", {{"a", LineMode::off}}, LineMode::off, LineMode::off},
        {"a line without audio and no entry is silent", "m", {}, LineMode::ring, LineMode::silent},
        {"a line without audio stored off",
         "m",
         {{"m", LineMode::off}},
         LineMode::off,
         LineMode::off},
        {"a line without audio stored ring is still silent",
         "m",
         {{"m", LineMode::ring}},
         LineMode::ring,
         LineMode::silent},
        {"an unknown line rings", "zz", {}, LineMode::ring, LineMode::ring},
        {"an unknown line stored silent",
         "zz",
         {{"zz", LineMode::silent}},
         LineMode::silent,
         LineMode::silent},
        {"another line's entry does not count",
         "a",
         {{"b", LineMode::off}},
         LineMode::ring,
         LineMode::ring},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StaffShellPrefs value = prefs({"a", "m"}, c.modes);
        EXPECT_EQ(value.storedMode(c.line), c.stored);
        EXPECT_EQ(value.effectiveMode(c.line, testConfig()), c.effective);
    }
}

TEST(StaffShellPrefs, ChoicesOfferRingOnlyWhereALineCanRing) {
    using Choices = std::vector<LineMode>;
    const Choices all{LineMode::ring, LineMode::silent, LineMode::off};
    const Choices quiet{LineMode::silent, LineMode::off};
    const StaffShellPrefs value = prefs({}, {});
    const ShellConfig config = testConfig();

    EXPECT_EQ(value.choices(std::string("a"), config), all);
    EXPECT_EQ(value.choices(std::string("m"), config), quiet);
    EXPECT_EQ(value.choices(std::string("unknown"), config), all);

    struct Case {
        std::string name;
        Lines lines;
        Choices expected;
    };
    const std::vector<Case> cases = {
        {"no lines offer nothing", {}, {}},
        {"only lines without audio", {"m", "n"}, quiet},
        {"one audible line among mute ones", {"m", "b", "n"}, all},
        {"an unknown line among mute ones", {"m", "unknown"}, all},
        {"audible lines", {"a", "b"}, all},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(value.choices(c.lines, config), c.expected);
    }
}

TEST(StaffShellPrefs, CombinedModeDescribesAllLinesOrNone) {
    struct Case {
        std::string name;
        Lines lines;
        Modes modes;
        std::optional<LineMode> expected;
        ShellConfig config = testConfig();
    };
    ShellConfig noLines = testConfig();
    noLines.lines.clear();
    const std::vector<Case> cases = {
        {"no lines", {}, {}, std::nullopt},
        {"audible lines all ringing", {"a", "b"}, {}, LineMode::ring},
        {"audible lines ringing with a mute line left alone", {"a", "m", "b"}, {}, LineMode::ring},
        {"audible lines ringing with a mute line off",
         {"a", "m"},
         {{"m", LineMode::off}},
         std::nullopt},
        {"audible lines all silent with a mute line left alone",
         {"a", "b", "m"},
         {{"a", LineMode::silent}, {"b", LineMode::silent}},
         LineMode::silent},
        {"audible lines all silent with a mute line off",
         {"a", "m"},
         {{"a", LineMode::silent}, {"m", LineMode::off}},
         std::nullopt},
        {"audible lines that differ", {"a", "b"}, {{"a", LineMode::silent}}, std::nullopt},
        {"every line off",
         {"a", "m", "b"},
         {{"a", LineMode::off}, {"b", LineMode::off}, {"m", LineMode::off}},
         LineMode::off},
        {"audible lines off but a mute line left alone",
         {"a", "m"},
         {{"a", LineMode::off}},
         std::nullopt},
        {"only mute lines, left alone", {"m", "n"}, {}, LineMode::silent},
        {"only mute lines, one stored silent",
         {"m", "n"},
         {{"n", LineMode::silent}},
         LineMode::silent},
        {"only mute lines, all off",
         {"m", "n"},
         {{"m", LineMode::off}, {"n", LineMode::off}},
         LineMode::off},
        {"only mute lines, one off", {"m", "n"}, {{"m", LineMode::off}}, std::nullopt},
        {"an unknown line counts as audible", {"zz", "m"}, {}, LineMode::ring},
        {"with no configured lines every line is audible",
         {"m", "n"},
         {{"m", LineMode::silent}},
         std::nullopt,
         noLines},
        {"with no configured lines, all silent",
         {"m", "n"},
         {{"m", LineMode::silent}, {"n", LineMode::silent}},
         LineMode::silent,
         noLines},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(prefs(c.lines, c.modes).combinedMode(c.lines, c.config), c.expected);
    }
}

TEST(StaffShellPrefs, SettingModeNeverStoresRing) {
    struct Case {
        std::string name;
        Modes before;
        LineMode mode;
        Lines lines;
        Modes expected;
    };
    const std::vector<Case> cases = {
        {"ring removes the entry",
         {{"a", LineMode::off}, {"b", LineMode::silent}},
         LineMode::ring,
         {"a"},
         {{"b", LineMode::silent}}},
        {"off for two lines sets both",
         {{"c", LineMode::silent}},
         LineMode::off,
         {"a", "b"},
         {{"a", LineMode::off}, {"b", LineMode::off}, {"c", LineMode::silent}}},
        {"silent replaces off",
         {{"a", LineMode::off}},
         LineMode::silent,
         {"a"},
         {{"a", LineMode::silent}}},
        {"ring for a line without an entry changes nothing",
         {{"b", LineMode::off}},
         LineMode::ring,
         {"a"},
         {{"b", LineMode::off}}},
        {"no lines change nothing",
         {{"b", LineMode::off}},
         LineMode::silent,
         {},
         {{"b", LineMode::off}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StaffShellPrefs value = prefs({"a", "b", "c"}, c.before);
        EXPECT_EQ(value.settingMode(c.mode, c.lines), c.expected);
        EXPECT_EQ(value.lineModes, c.before);
    }
}

TEST(StaffShellPrefs, ModeSummaryCountsSilencedAndSwitchedOffLines) {
    struct Case {
        std::string name;
        Lines lines;
        Modes modes;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"nothing stored", {"a", "b", "c"}, {}, std::nullopt},
        {"no lines", {}, {{"a", LineMode::off}}, std::nullopt},
        {"only lines the configuration does not know",
         {"x", "y"},
         {{"x", LineMode::off}},
         std::nullopt},
        {"one silenced", {"a", "b", "c"}, {{"a", LineMode::silent}}, "1 line silenced"},
        {"three silenced",
         {"a", "b", "c"},
         {{"a", LineMode::silent}, {"b", LineMode::silent}, {"c", LineMode::silent}},
         "3 lines silenced"},
        {"one silenced, one off",
         {"a", "b", "c"},
         {{"a", LineMode::silent}, {"b", LineMode::off}},
         "1 line silenced, 1 off"},
        {"two silenced, one off",
         {"a", "b", "c"},
         {{"a", LineMode::silent}, {"b", LineMode::silent}, {"c", LineMode::off}},
         "2 lines silenced, 1 off"},
        {"one silenced, two off",
         {"a", "b", "c"},
         {{"a", LineMode::silent}, {"b", LineMode::off}, {"c", LineMode::off}},
         "1 line silenced, 2 off"},
        {"one off", {"a", "b", "c"}, {{"b", LineMode::off}}, "1 line off"},
        {"two off", {"a", "b", "c"}, {{"b", LineMode::off}, {"c", LineMode::off}}, "2 lines off"},
        {"all off",
         {"a", "b", "c"},
         {{"a", LineMode::off}, {"b", LineMode::off}, {"c", LineMode::off}},
         "All lines off"},
        {"all configured lines off, unknown ones aside",
         {"a", "zz"},
         {{"a", LineMode::off}},
         "All lines off"},
        {"a mute line stored silent is not reported",
         {"a", "m"},
         {{"m", LineMode::silent}},
         std::nullopt},
        {"a mute line stored off is reported", {"a", "m"}, {{"m", LineMode::off}}, "1 line off"},
        {"modes of lines not assigned do not count",
         {"a", "b"},
         {{"c", LineMode::silent}},
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(prefs(c.lines, c.modes).modeSummary(testConfig()), c.expected);
    }
}

} // namespace
} // namespace ostral
