#pragma once

#include <OstralShellKit/Expected.h>
#include <OstralShellKit/Uuid.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ostral {

using Json = nlohmann::json;

// Why a JSON value could not be read as one of our records. `key` names the key at fault (empty
// when the fault is the value as a whole); `debugDescription` says what was wrong and, for a
// value that was present but unreadable, carries its raw text.
struct DecodingError {
    enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

    Kind kind = Kind::dataCorrupted;
    std::string key;
    std::string debugDescription;

    // One line for logs: "dataCorrupted at \"created_at\": yesterday".
    std::string description() const;

    bool operator==(const DecodingError&) const = default;
};

std::string_view toString(DecodingError::Kind kind);

// Reading the keys of a JSON object with the rules every record of ours follows:
// - a required key that is missing is `keyNotFound`; one that holds null is `valueNotFound`;
// - an optional key that is missing or null gives no value;
// - a value of the wrong JSON type is `typeMismatch`, whether the key is required or not;
// - an id that is not a UUID, or a number that does not fit, is `dataCorrupted`.
// The object itself must be a JSON object; anything else is a `typeMismatch` with an empty key.
namespace decode {

template <typename T>
using Result = Expected<T, DecodingError>;

// Parses JSON text without throwing. Invalid text is `dataCorrupted` with an empty key.
Result<Json> parse(std::string_view text);

Result<const Json*> object(const Json& value);

// A value that must itself be a string, such as an element of a list of strings.
Result<std::string> string(const Json& value);

Result<std::string> requiredString(const Json& object, std::string_view key);
Result<std::optional<std::string>> optionalString(const Json& object, std::string_view key);

Result<Uuid> requiredUuid(const Json& object, std::string_view key);
Result<std::optional<Uuid>> optionalUuid(const Json& object, std::string_view key);

Result<bool> requiredBool(const Json& object, std::string_view key);
Result<std::optional<bool>> optionalBool(const Json& object, std::string_view key);

// Any JSON number.
Result<double> requiredDouble(const Json& object, std::string_view key);
Result<std::optional<double>> optionalDouble(const Json& object, std::string_view key);

// A JSON number with no fractional part that fits a signed 64-bit integer.
Result<std::int64_t> requiredInt(const Json& object, std::string_view key);
Result<std::optional<std::int64_t>> optionalInt(const Json& object, std::string_view key);

// The failure of `result` for a caller that decodes something else: `return failureOf(key);`.
template <typename U>
Unexpected<DecodingError> failureOf(const Result<U>& result) {
    return Unexpected{result.error()};
}

// Parses JSON `text` and reads it with `read` (a function from `const Json&` to a Result);
// text that is not JSON fails as parse() does.
template <typename Read>
auto fromText(std::string_view text, Read read) -> decltype(read(std::declval<const Json&>())) {
    auto value = parse(text);
    if (!value) {
        return failureOf(value);
    }
    return read(*value);
}

// The error for a value that was present but could not be used, carrying its raw text.
DecodingError corrupted(std::string_view key, const Json& value);

// The same error with `context` put before its key ("[2]" for the third row of a list).
DecodingError within(std::string_view context, DecodingError error);

} // namespace decode

} // namespace ostral
