#include "DecodingCases.h"

#include <OstralShellKit/CallContext.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

using Kind = DecodingError::Kind;

TEST(CallContext, KeepsTheBackendsOrder) {
    const auto context = CallContext::decode(std::string_view(R"({
        "fields": [
            {"label": "Candidate", "value": "Jane Doe"},
            {"label": "Stage", "value": "Interview", "hint": "ignored"},
            {"label": "", "value": ""}
        ],
        "call_id": "ignored too"
    })"));
    ASSERT_TRUE(context.hasValue()) << context.error().description();
    const std::vector<CallContextField> expected = {
        {"Candidate", "Jane Doe"}, {"Stage", "Interview"}, {"", ""}};
    EXPECT_EQ(context->fields, expected);
}

TEST(CallContext, AnEmptyListIsAContextWithoutFacts) {
    const auto context = CallContext::decode(Json{{"fields", Json::array()}});
    ASSERT_TRUE(context.hasValue());
    EXPECT_TRUE(context->fields.empty());
}

TEST(CallContext, FailsOnAnyBadPartAndNamesIt) {
    const std::vector<DecodingFailure<>> cases = {
        {"no fields", R"({})", Kind::keyNotFound, "fields"},
        {"null fields", R"({"fields": null})", Kind::valueNotFound, "fields"},
        {"fields as an object", R"({"fields": {"label": "a", "value": "b"}})", Kind::typeMismatch,
         "fields"},
        {"second field without a label",
         R"({"fields": [{"label": "a", "value": "b"}, {"value": "c"}]})", Kind::keyNotFound,
         "fields[1].label"},
        {"numeric value", R"({"fields": [{"label": "Loads", "value": 3}]})", Kind::typeMismatch,
         "fields[0].value"},
        {"null value", R"({"fields": [{"label": "Loads", "value": null}]})", Kind::valueNotFound,
         "fields[0].value"},
        {"a field that is a string", R"({"fields": ["Candidate: Jane"]})", Kind::typeMismatch,
         "fields[0]"},
        {"an array at the top", R"([{"label": "a", "value": "b"}])", Kind::typeMismatch, ""},
        {"not JSON", R"({"fields": [)", Kind::dataCorrupted, ""},
    };
    expectDecodingFailures(cases, [](std::string_view text) { return CallContext::decode(text); });
}

} // namespace
} // namespace ostral
