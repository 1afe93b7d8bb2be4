#include <OstralShellKit/Decoding.h>

#include <cmath>
#include <limits>

namespace ostral {

std::string_view toString(DecodingError::Kind kind) {
    switch (kind) {
    case DecodingError::Kind::keyNotFound:
        return "keyNotFound";
    case DecodingError::Kind::valueNotFound:
        return "valueNotFound";
    case DecodingError::Kind::typeMismatch:
        return "typeMismatch";
    case DecodingError::Kind::dataCorrupted:
        return "dataCorrupted";
    }
    return "dataCorrupted";
}

std::string DecodingError::description() const {
    std::string text(toString(kind));
    if (!key.empty()) {
        text += " at \"" + key + "\"";
    }
    if (!debugDescription.empty()) {
        text += ": " + debugDescription;
    }
    return text;
}

namespace decode {

namespace {

using Kind = DecodingError::Kind;

DecodingError error(Kind kind, std::string_view key, std::string description) {
    return DecodingError{kind, std::string(key), std::move(description)};
}

std::string typeName(const Json& value) {
    return value.type_name();
}

// Finds `key` in `object`; nullptr when it is missing.
const Json* member(const Json& object, std::string_view key) {
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

// The value under a required key, or the error for a missing or null one.
Result<const Json*> required(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (value == nullptr) {
        return Unexpected{error(Kind::keyNotFound, key, "No value associated with this key.")};
    }
    if (value->is_null()) {
        return Unexpected{error(Kind::valueNotFound, key, "The value is null.")};
    }
    return value;
}

DecodingError wrongType(std::string_view key, std::string_view expected, const Json& value) {
    return error(Kind::typeMismatch, key,
                 "Expected " + std::string(expected) + " but found " + typeName(value) + ".");
}

template <typename T, typename Read>
Result<std::optional<T>> optional(const Json& object, std::string_view key, Read read) {
    const Json* value = member(object, key);
    if (value == nullptr || value->is_null()) {
        return std::optional<T>{};
    }
    auto result = read(*value, key);
    if (!result) {
        return Unexpected{std::move(result).error()};
    }
    return std::optional<T>{std::move(result).value()};
}

template <typename T, typename Read>
Result<T> requiredValue(const Json& object, std::string_view key, Read read) {
    auto value = required(object, key);
    if (!value) {
        return Unexpected{std::move(value).error()};
    }
    return read(**value, key);
}

Result<std::string> readString(const Json& value, std::string_view key) {
    if (!value.is_string()) {
        return Unexpected{wrongType(key, "a string", value)};
    }
    return value.get<std::string>();
}

Result<Uuid> readUuid(const Json& value, std::string_view key) {
    if (!value.is_string()) {
        return Unexpected{wrongType(key, "a UUID string", value)};
    }
    const auto& text = value.get_ref<const std::string&>();
    if (auto uuid = Uuid::parse(text)) {
        return *uuid;
    }
    return Unexpected{error(Kind::dataCorrupted, key,
                            "Attempted to decode UUID from invalid UUID string: " + text)};
}

Result<bool> readBool(const Json& value, std::string_view key) {
    if (!value.is_boolean()) {
        return Unexpected{wrongType(key, "a boolean", value)};
    }
    return value.get<bool>();
}

Result<double> readDouble(const Json& value, std::string_view key) {
    if (!value.is_number()) {
        return Unexpected{wrongType(key, "a number", value)};
    }
    return value.get<double>();
}

Result<std::int64_t> readInt(const Json& value, std::string_view key) {
    if (!value.is_number()) {
        return Unexpected{wrongType(key, "an integer", value)};
    }
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(number);
        }
    } else {
        const double number = value.get<double>();
        // 2^63 is exactly representable; anything at or above it does not fit.
        if (std::isfinite(number) && std::trunc(number) == number &&
            number >= -9223372036854775808.0 && number < 9223372036854775808.0) {
            return static_cast<std::int64_t>(number);
        }
    }
    return Unexpected{error(Kind::dataCorrupted, key,
                            "Parsed JSON number <" + value.dump() + "> does not fit in Int.")};
}

} // namespace

Result<Json> parse(std::string_view text) {
    // Writing a value out again is recursive, so nesting from outside is held to a depth that no
    // record of ours comes near.
    constexpr int kMaxDepth = 128;
    bool tooDeep = false;
    auto limitDepth = [&tooDeep](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxDepth) {
            tooDeep = true;
        }
        return !tooDeep;
    };
    Json value = Json::parse(text, limitDepth, /*allow_exceptions=*/false);
    if (tooDeep) {
        return Unexpected{error(Kind::dataCorrupted, "", "The given data is nested too deeply.")};
    }
    if (value.is_discarded()) {
        return Unexpected{error(Kind::dataCorrupted, "", "The given data was not valid JSON.")};
    }
    return value;
}

Result<const Json*> object(const Json& value) {
    if (!value.is_object()) {
        return Unexpected{wrongType("", "an object", value)};
    }
    return &value;
}

Result<std::string> string(const Json& value) {
    return readString(value, "");
}

Result<std::string> requiredString(const Json& object, std::string_view key) {
    return requiredValue<std::string>(object, key, readString);
}
Result<std::optional<std::string>> optionalString(const Json& object, std::string_view key) {
    return optional<std::string>(object, key, readString);
}
Result<Uuid> requiredUuid(const Json& object, std::string_view key) {
    return requiredValue<Uuid>(object, key, readUuid);
}
Result<std::optional<Uuid>> optionalUuid(const Json& object, std::string_view key) {
    return optional<Uuid>(object, key, readUuid);
}
Result<bool> requiredBool(const Json& object, std::string_view key) {
    return requiredValue<bool>(object, key, readBool);
}
Result<std::optional<bool>> optionalBool(const Json& object, std::string_view key) {
    return optional<bool>(object, key, readBool);
}
Result<double> requiredDouble(const Json& object, std::string_view key) {
    return requiredValue<double>(object, key, readDouble);
}
Result<std::optional<double>> optionalDouble(const Json& object, std::string_view key) {
    return optional<double>(object, key, readDouble);
}
Result<std::int64_t> requiredInt(const Json& object, std::string_view key) {
    return requiredValue<std::int64_t>(object, key, readInt);
}
Result<std::optional<std::int64_t>> optionalInt(const Json& object, std::string_view key) {
    return optional<std::int64_t>(object, key, readInt);
}

DecodingError corrupted(std::string_view key, const Json& value) {
    return error(Kind::dataCorrupted, key,
                 value.is_string() ? value.get<std::string>()
                                   : value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

DecodingError within(std::string_view context, DecodingError failure) {
    if (failure.key.empty()) {
        failure.key = std::string(context);
    } else if (failure.key.front() == '[') {
        failure.key = std::string(context) + failure.key;
    } else {
        failure.key = std::string(context) + "." + failure.key;
    }
    return failure;
}

} // namespace decode
} // namespace ostral
