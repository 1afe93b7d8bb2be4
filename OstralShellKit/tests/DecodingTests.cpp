#include <OstralShellKit/Decoding.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostral {
namespace {

using Kind = DecodingError::Kind;

TEST(Decoding, ParseRefusesInvalidOrDeeplyNestedTextWithoutThrowing) {
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    const std::string fine = std::string(100, '[') + std::string(100, ']');
    struct Case {
        std::string name;
        std::string text;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"an object", R"({"a":[1,2,{"b":null}]})", true},
        {"nesting a record never needs", deep, false},
        {"nesting well within the limit", fine, true},
        {"truncated", R"({"a":[1,2)", false},
        {"empty", "", false},
        {"trailing garbage", R"({"a":1} x)", false},
        {"not a number", R"({"a":NaN})", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = decode::parse(c.text);
        EXPECT_EQ(parsed.hasValue(), c.accepted);
        if (!parsed) {
            EXPECT_EQ(parsed.error().kind, Kind::dataCorrupted);
            EXPECT_EQ(parsed.error().key, "");
        }
    }
}

TEST(Decoding, WholeNumbersMustFitSixtyFourBits) {
    struct Case {
        std::string name;
        std::string text;
        std::optional<std::int64_t> expected;
    };
    const std::vector<Case> cases = {
        {"an integer", R"({"n":15})", 15},
        {"a whole number written with a fraction", R"({"n":15.0})", 15},
        {"a fraction", R"({"n":15.5})", std::nullopt},
        {"the largest", R"({"n":9223372036854775807})", INT64_MAX},
        {"the smallest", R"({"n":-9223372036854775808})", INT64_MIN},
        {"one past the largest", R"({"n":9223372036854775808})", std::nullopt},
        {"far too large", R"({"n":1e300})", std::nullopt},
        {"two to the sixty-third as a float", R"({"n":9.223372036854775808e18})", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto value = decode::requiredInt(decode::parse(c.text).value(), "n");
        ASSERT_EQ(value.hasValue(), c.expected.has_value());
        if (value) {
            EXPECT_EQ(*value, *c.expected);
        } else {
            EXPECT_EQ(value.error().kind, Kind::dataCorrupted);
            EXPECT_EQ(value.error().key, "n");
        }
    }
}

TEST(Decoding, RequiredAndOptionalKeysTellMissingNullAndWrongTypeApart) {
    const Json row = decode::parse(R"({"s":"text","z":null,"n":5})").value();

    EXPECT_EQ(decode::requiredString(row, "s").value(), "text");
    EXPECT_EQ(decode::requiredString(row, "missing").error().kind, Kind::keyNotFound);
    EXPECT_EQ(decode::requiredString(row, "z").error().kind, Kind::valueNotFound);
    EXPECT_EQ(decode::requiredString(row, "n").error().kind, Kind::typeMismatch);

    EXPECT_EQ(decode::optionalString(row, "missing").value(), std::nullopt);
    EXPECT_EQ(decode::optionalString(row, "z").value(), std::nullopt);
    EXPECT_EQ(decode::optionalString(row, "n").error().kind, Kind::typeMismatch);
    EXPECT_EQ(decode::optionalString(row, "n").error().key, "n");

    EXPECT_EQ(decode::optionalUuid(row, "s").error().kind, Kind::dataCorrupted);
    EXPECT_EQ(decode::requiredBool(row, "n").error().kind, Kind::typeMismatch);
    EXPECT_EQ(decode::requiredDouble(row, "n").value(), 5.0);
}

TEST(Decoding, ErrorsNameTheirPlaceInsideLists) {
    const DecodingError atKey{Kind::typeMismatch, "line", "x"};
    const DecodingError atIndex{Kind::typeMismatch, "[1]", "x"};
    const DecodingError whole{Kind::typeMismatch, "", "x"};
    EXPECT_EQ(decode::within("[2]", atKey).key, "[2].line");
    EXPECT_EQ(decode::within("lines", atIndex).key, "lines[1]");
    EXPECT_EQ(decode::within("fields", whole).key, "fields");
    EXPECT_EQ(DecodingError({Kind::dataCorrupted, "created_at", "yesterday"}).description(),
              "dataCorrupted at \"created_at\": yesterday");
}

} // namespace
} // namespace ostral
