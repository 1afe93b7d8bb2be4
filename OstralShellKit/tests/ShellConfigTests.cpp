#include "DecodingCases.h"

#include <OstralShellKit/ShellConfig.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace ostral {
namespace {

using Kind = DecodingError::Kind;

Json json(std::string_view text) {
    auto value = decode::parse(text);
    EXPECT_TRUE(value.hasValue()) << text;
    return value.hasValue() ? value.value() : Json();
}

TEST(ShellConfig, StandardConfigurationHasTheFiveCompanyLines) {
    const ShellConfig standard = ShellConfig::standard();
    const std::map<std::string, LinePolicy> lines = {
        {"recruiting", {"Recruiting", true, RingTone::recruiting, true, true}},
        {"tamrell_fleet", {"Tamrell Fleet", true, RingTone::fleet, true, true}},
        {"sablon_fleet", {"Vossane Fleet", true, RingTone::fleet, true, true}},
        {"maintenance", {"Maintenance", false, RingTone::fleet, true, true}},
        {"test", {"Test line", true, RingTone::recruiting, true, true}},
    };
    EXPECT_EQ(standard.lines, lines);
    EXPECT_EQ(standard.flags, (ShellFlags{true, true, true, true}));
    EXPECT_EQ(standard.idleLock, IdleLockConfig(true, 15));
}

TEST(LinePolicy, DecodesWithPerFieldDefaults) {
    const std::vector<DecodedValue<LinePolicy>> cases = {
        {"only a label: silent, recruiting, shown and notified",
         R"({"label":"Sales"})",
         {"Sales", false, RingTone::recruiting, true, true}},
        {"every field given",
         R"({"label":"Fleet","audio":true,"tone":"fleet","panel":false,"notify":false})",
         {"Fleet", true, RingTone::fleet, false, false}},
        {"a tone that names no ring tone is recruiting",
         R"({"label":"L","tone":"siren"})",
         {"L", false, RingTone::recruiting, true, true}},
        {"a tone that is not a string is recruiting",
         R"({"label":"L","tone":7})",
         {"L", false, RingTone::recruiting, true, true}},
        {"a tone in the wrong case is recruiting",
         R"({"label":"L","tone":"Fleet"})",
         {"L", false, RingTone::recruiting, true, true}},
        {"null switches count as missing",
         R"({"label":"L","audio":null,"panel":null,"notify":null,"tone":null})",
         {"L", false, RingTone::recruiting, true, true}},
        {"unknown keys are ignored",
         R"({"label":"L","audio":true,"colour":"red"})",
         {"L", true, RingTone::recruiting, true, true}},
    };
    expectDecodedValues(cases,
                        [](std::string_view text) { return LinePolicy::decode(json(text)); });
}

TEST(LinePolicy, RefusesAMissingLabelAndWronglyTypedSwitches) {
    const std::vector<DecodingFailure<>> cases = {
        {"no label", R"({"audio":true})", Kind::keyNotFound, "label"},
        {"null label", R"({"label":null})", Kind::valueNotFound, "label"},
        {"label not a string", R"({"label":5})", Kind::typeMismatch, "label"},
        {"audio as text", R"({"label":"L","audio":"yes"})", Kind::typeMismatch, "audio"},
        {"panel as a number", R"({"label":"L","panel":1})", Kind::typeMismatch, "panel"},
        {"notify as a list", R"({"label":"L","notify":[]})", Kind::typeMismatch, "notify"},
        {"not an object", R"(["label"])", Kind::typeMismatch, ""},
    };
    expectDecodingFailures(cases,
                           [](std::string_view text) { return LinePolicy::decode(json(text)); });
}

TEST(ShellFlags, MissingSwitchesAreOnAndWrongTypesFail) {
    const std::vector<DecodingOutcome<ShellFlags>> cases = {
        {"empty object is the standard", "{}", ShellFlags::standard},
        {"only ring off", R"({"ring":false})", ShellFlags{true, false, true, true}},
        {"all off", R"({"listener":false,"ring":false,"panel":false,"notify":false})",
         ShellFlags{false, false, false, false}},
        {"null counts as missing", R"({"panel":null})", ShellFlags::standard},
        {"listener as text", R"({"listener":"off"})", std::nullopt},
        {"notify as a number", R"({"notify":0})", std::nullopt},
        {"not an object", "true", std::nullopt},
    };
    expectDecodingOutcomes(cases,
                           [](std::string_view text) { return ShellFlags::decode(json(text)); });
}

TEST(IdleLockConfig, KeepsMinutesWithinOneToFourHours) {
    struct Case {
        std::string name;
        bool enabled;
        std::int64_t minutes;
        int expectedMinutes;
    };
    const std::vector<Case> cases = {
        {"zero becomes one", true, 0, 1},
        {"negative becomes one", false, -30, 1},
        {"the smallest integer becomes one", true, std::numeric_limits<std::int64_t>::min(), 1},
        {"within the range is kept", true, 90, 90},
        {"the upper end is kept", true, 240, 240},
        {"above the range becomes 240", true, 999, 240},
        {"the largest integer becomes 240", true, std::numeric_limits<std::int64_t>::max(), 240},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const IdleLockConfig config(c.enabled, c.minutes);
        EXPECT_EQ(config.enabled, c.enabled);
        EXPECT_EQ(config.minutes, c.expectedMinutes);
        EXPECT_EQ(config.interval(), c.expectedMinutes * 60.0);
    }
    EXPECT_EQ(IdleLockConfig::standard, IdleLockConfig(true, 15));
    EXPECT_EQ(IdleLockConfig::standard.interval(), 900.0);
}

TEST(IdleLockConfig, DecodesWholeMinutesOnly) {
    const std::vector<DecodingOutcome<IdleLockConfig>> cases = {
        {"empty object: enabled, 15 minutes", "{}", IdleLockConfig(true, 15)},
        {"zero minutes becomes one", R"({"minutes":0})", IdleLockConfig(true, 1)},
        {"999 minutes becomes 240", R"({"minutes":999})", IdleLockConfig(true, 240)},
        {"disabled with its minutes", R"({"enabled":false,"minutes":30})",
         IdleLockConfig(false, 30)},
        {"a whole number written with a fraction", R"({"minutes":20.0})", IdleLockConfig(true, 20)},
        {"a fractional minute fails", R"({"minutes":15.5})", std::nullopt},
        {"minutes as text fail", R"({"minutes":"15"})", std::nullopt},
        {"minutes beyond any integer fail", R"({"minutes":1e30})", std::nullopt},
        {"enabled as text fails", R"({"enabled":"yes"})", std::nullopt},
        {"not an object", "15", std::nullopt},
    };
    expectDecodingOutcomes(
        cases, [](std::string_view text) { return IdleLockConfig::decode(json(text)); });
}

TEST(ShellConfig, LaysRowsOverTheStandardConfiguration) {
    const ShellConfig standard = ShellConfig::standard();
    const auto withLines = [&](std::map<std::string, LinePolicy> lines) {
        ShellConfig config = standard;
        config.lines = std::move(lines);
        return config;
    };
    const auto withFlags = [&](ShellFlags flags) {
        ShellConfig config = standard;
        config.flags = flags;
        return config;
    };
    const auto withIdleLock = [&](IdleLockConfig idleLock) {
        ShellConfig config = standard;
        config.idleLock = idleLock;
        return config;
    };
    const LinePolicy sales{"Sales", true, RingTone::fleet, true, false};

    const std::vector<DecodedValue<ShellConfig>> cases = {
        {"no rows give the standard", "[]", standard},
        {"a lines row replaces every line",
         R"([{"key":"lines","value":{"sales":{"label":"Sales","audio":true,"tone":"fleet",
             "notify":false}}}])",
         withLines({{"sales", sales}})},
        {"an empty lines object leaves no lines", R"([{"key":"lines","value":{}}])", withLines({})},
        {"one policy without a label drops the whole lines part",
         R"([{"key":"lines","value":{"sales":{"label":"Sales"},"broken":{"audio":true}}}])",
         standard},
        {"lines that are not an object are dropped", R"([{"key":"lines","value":["sales"]}])",
         standard},
        {"flags with only ring off", R"([{"key":"flags","value":{"ring":false}}])",
         withFlags({true, false, true, true})},
        {"flags of the wrong type are dropped", R"([{"key":"flags","value":{"panel":"no"}}])",
         standard},
        {"idle lock of zero minutes", R"([{"key":"idle_lock","value":{"minutes":0}}])",
         withIdleLock(IdleLockConfig(true, 1))},
        {"idle lock of 999 minutes", R"([{"key":"idle_lock","value":{"minutes":999}}])",
         withIdleLock(IdleLockConfig(true, 240))},
        {"empty idle lock object", R"([{"key":"idle_lock","value":{}}])", standard},
        {"fractional idle-lock minutes are dropped",
         R"([{"key":"idle_lock","value":{"enabled":false,"minutes":15.5}}])", standard},
        {"a known key without a value is dropped", R"([{"key":"flags"}])", standard},
        {"a known key with a null value is dropped", R"([{"key":"idle_lock","value":null}])",
         standard},
        {"unknown keys are ignored",
         R"([{"key":"theme","value":{"ring":false}},{"key":"Flags","value":{"ring":false}}])",
         standard},
        {"the later of two rows wins",
         R"([{"key":"idle_lock","value":{"minutes":5}},{"key":"idle_lock","value":{"minutes":7}}])",
         withIdleLock(IdleLockConfig(true, 7))},
        {"a later row that does not read keeps the earlier part",
         R"([{"key":"idle_lock","value":{"minutes":5}},{"key":"idle_lock","value":{"minutes":"x"}}])",
         withIdleLock(IdleLockConfig(true, 5))},
    };
    expectDecodedValues(cases, [](std::string_view rows) { return ShellConfig::fromRows(rows); });
}

TEST(ShellConfig, AllPartsCombine) {
    const auto config = ShellConfig::fromRows(json(R"([
        {"key":"flags","value":{"notify":false}},
        {"key":"lines","value":{"a":{"label":"A"}}},
        {"key":"idle_lock","value":{"enabled":false,"minutes":45}}
    ])"));
    ASSERT_TRUE(config.hasValue());
    EXPECT_EQ(config->lines, (std::map<std::string, LinePolicy>{
                                 {"a", {"A", false, RingTone::recruiting, true, true}}}));
    EXPECT_EQ(config->flags, (ShellFlags{true, true, true, false}));
    EXPECT_EQ(config->idleLock, IdleLockConfig(false, 45));
}

TEST(ShellConfig, FailsOnlyWhenTheRowListCannotBeRead) {
    const std::vector<DecodingFailure<>> cases = {
        {"not JSON", "[{", Kind::dataCorrupted, ""},
        {"an object instead of a list", R"({"key":"lines"})", Kind::typeMismatch, ""},
        {"null instead of a list", "null", Kind::typeMismatch, ""},
        {"a row that is not an object", R"([{"key":"flags","value":{}},3])", Kind::typeMismatch,
         "[1]"},
        {"a row without a key", R"([{"value":{}}])", Kind::keyNotFound, "[0].key"},
        {"a row with a null key", R"([{"key":null,"value":{}}])", Kind::valueNotFound, "[0].key"},
        {"a row whose key is not a string", R"([{"key":["lines"],"value":{}}])", Kind::typeMismatch,
         "[0].key"},
    };
    expectDecodingFailures(cases,
                           [](std::string_view rows) { return ShellConfig::fromRows(rows); });
}

TEST(ShellConfigRow, CarriesOnlyThePartItsKeyNames) {
    const auto row = ShellConfig::Row::decode(json(R"({"key":"flags","value":{"ring":false}})"));
    ASSERT_TRUE(row.hasValue());
    EXPECT_EQ(row->key, "flags");
    EXPECT_EQ(row->flags, (ShellFlags{true, false, true, true}));
    EXPECT_EQ(row->lines, std::nullopt);
    EXPECT_EQ(row->idleLock, std::nullopt);
}

} // namespace
} // namespace ostral
