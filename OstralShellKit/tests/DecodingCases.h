#pragma once

#include <OstralShellKit/Decoding.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

// Tables of decoding cases shared by the decoder tests. Each helper runs a table through
// `decode`, a lambda that names the decoder (and the overload, text or JSON value) under test and
// returns its decode::Result.
namespace ostral {

// An input that must not decode: the error must be of `kind` and name `key` (empty for the
// value at the top).
template <typename Input = std::string>
struct DecodingFailure {
    std::string name;
    Input input;
    DecodingError::Kind kind;
    std::string key;
    std::string debugDescription = {}; // checked when not empty
};

template <typename Input, typename Decode>
void expectDecodingFailures(const std::vector<DecodingFailure<Input>>& cases, Decode decode) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = decode(c.input);
        ASSERT_FALSE(result.hasValue());
        EXPECT_EQ(result.error().kind, c.kind) << result.error().description();
        EXPECT_EQ(result.error().key, c.key);
        if (!c.debugDescription.empty()) {
            EXPECT_EQ(result.error().debugDescription, c.debugDescription);
        }
    }
}

// `row` with `key` set to `value`, or without `key` when there is no value. `Row` is a JSON
// object or a map of column names to JSON values.
template <typename Row>
Row withField(Row row, const std::string& key, const std::optional<Json>& value) {
    if (value) {
        row[key] = *value;
    } else {
        row.erase(key);
    }
    return row;
}

// A valid row spoilt in one key (see withField): the error must be of `kind` and name that key.
struct FieldFailure {
    std::string name;
    std::string key;
    std::optional<Json> value; // none: the key is removed
    DecodingError::Kind kind;
    std::string debugDescription = {}; // checked when not empty
};

template <typename Decode>
void expectFieldFailures(const Json& validRow, const std::vector<FieldFailure>& cases,
                         Decode decode) {
    std::vector<DecodingFailure<Json>> failures;
    failures.reserve(cases.size());
    for (const auto& c : cases) {
        failures.push_back(
            {c.name, withField(validRow, c.key, c.value), c.kind, c.key, c.debugDescription});
    }
    expectDecodingFailures(failures, decode);
}

// A text that must decode to `expected`.
template <typename T>
struct DecodedValue {
    std::string name;
    std::string text;
    T expected;
};

template <typename T, typename Decode>
void expectDecodedValues(const std::vector<DecodedValue<T>>& cases, Decode decode) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = decode(c.text);
        ASSERT_TRUE(result.hasValue()) << result.error().description();
        EXPECT_EQ(result.value(), c.expected);
    }
}

// A text that must decode to `expected`, or fail to decode when there is no expected value.
template <typename T>
struct DecodingOutcome {
    std::string name;
    std::string text;
    std::optional<T> expected;
};

template <typename T, typename Decode>
void expectDecodingOutcomes(const std::vector<DecodingOutcome<T>>& cases, Decode decode) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = decode(c.text);
        ASSERT_EQ(result.hasValue(), c.expected.has_value());
        if (c.expected) {
            EXPECT_EQ(result.value(), *c.expected);
        }
    }
}

} // namespace ostral
