#include "DecodingCases.h"

#include <OstralShellKit/CatchUpCall.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

using Kind = DecodingError::Kind;

Json row(std::string id, double age) {
    return Json{{"id", std::move(id)},       {"created_at", "2024-05-01T13:45:10.123456+00:00"},
                {"line", "fleet"},           {"caller_number", "+15551234567"},
                {"candidate_name", nullptr}, {"age_seconds", age}};
}

const std::string kFirstId = "0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6";
const std::string kSecondId = "11111111-2222-4333-8444-555555555555";

TEST(CatchUpCall, ReadsTheCallAndItsAgeFromOneObject) {
    const auto caught = CatchUpCall::decode(row(kFirstId, 12.5));
    ASSERT_TRUE(caught.hasValue()) << caught.error().description();
    EXPECT_EQ(caught->ageSeconds, 12.5);
    EXPECT_EQ(caught->call, *LiveCall::decode(row(kFirstId, 0)));

    Json integral = row(kFirstId, 0);
    integral["age_seconds"] = 30;
    ASSERT_TRUE(CatchUpCall::decode(integral).hasValue());
    EXPECT_EQ(CatchUpCall::decode(integral)->ageSeconds, 30.0);
}

TEST(CatchUpCall, FailsWhenTheCallOrTheAgeFails) {
    const std::vector<FieldFailure> cases = {
        {"no age", "age_seconds", std::nullopt, Kind::keyNotFound},
        {"null age", "age_seconds", Json(nullptr), Kind::valueNotFound},
        {"age as text", "age_seconds", Json("12"), Kind::typeMismatch},
        {"unreadable created_at", "created_at", Json("yesterday"), Kind::dataCorrupted},
        {"no caller number", "caller_number", std::nullopt, Kind::keyNotFound},
    };
    expectFieldFailures(row(kFirstId, 3), cases,
                        [](const Json& value) { return CatchUpCall::decode(value); });
}

TEST(CatchUpCall, DecodesTheCatchUpAnswerInOrder) {
    const Json answer = Json::array({row(kFirstId, 1), row(kSecondId, 29.9)});
    const auto calls = CatchUpCall::decodeList(std::string_view(answer.dump()));
    ASSERT_TRUE(calls.hasValue()) << calls.error().description();
    ASSERT_EQ(calls->size(), 2u);
    EXPECT_EQ((*calls)[0].call.id.lowercased(), kFirstId);
    EXPECT_EQ((*calls)[1].call.id.lowercased(), kSecondId);
    EXPECT_EQ((*calls)[1].ageSeconds, 29.9);

    const auto none = CatchUpCall::decodeList(std::string_view("[]"));
    ASSERT_TRUE(none.hasValue());
    EXPECT_TRUE(none->empty());
}

TEST(CatchUpCall, OneBadRowFailsTheWholeAnswerAndIsNamed) {
    Json badLine = row(kSecondId, 2);
    badLine["line"] = 7;
    Json noAge = row(kSecondId, 2);
    noAge.erase("age_seconds");

    const std::vector<DecodingFailure<Json>> cases = {
        {"third row with a numeric line",
         Json::array({row(kFirstId, 1), row(kFirstId, 1), badLine}), Kind::typeMismatch,
         "[2].line"},
        {"first row without an age", Json::array({noAge, row(kFirstId, 1)}), Kind::keyNotFound,
         "[0].age_seconds"},
        {"second row not an object", Json::array({row(kFirstId, 1), "row"}), Kind::typeMismatch,
         "[1]"},
        {"an object instead of a list", row(kFirstId, 1), Kind::typeMismatch, ""},
        {"null instead of a list", Json(nullptr), Kind::typeMismatch, ""},
    };
    expectDecodingFailures(cases,
                           [](const Json& answer) { return CatchUpCall::decodeList(answer); });
}

TEST(CatchUpCall, RefusesTextThatIsNotJson) {
    const auto calls = CatchUpCall::decodeList(std::string_view("[{"));
    ASSERT_FALSE(calls.hasValue());
    EXPECT_EQ(calls.error().kind, Kind::dataCorrupted);
}

} // namespace
} // namespace ostral
