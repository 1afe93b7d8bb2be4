#include "JsonText.h"

#include <cmath>
#include <limits>

namespace ostral::supabase::json {

namespace {

const nlohmann::json* member(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

} // namespace

std::optional<nlohmann::json> parse(std::string_view text) {
    constexpr int kMaxDepth = 128;
    bool tooDeep = false;
    auto limitDepth = [&tooDeep](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        if (depth > kMaxDepth) {
            tooDeep = true;
        }
        return !tooDeep;
    };
    nlohmann::json value = nlohmann::json::parse(text, limitDepth, /*allow_exceptions=*/false);
    if (tooDeep || value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> string(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = member(object, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

std::optional<double> number(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = member(object, key);
    if (value == nullptr || !value->is_number()) {
        return std::nullopt;
    }
    const double number = value->get<double>();
    if (!std::isfinite(number)) {
        return std::nullopt;
    }
    return number;
}

std::optional<std::int64_t> integer(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = member(object, key);
    if (value == nullptr || !value->is_number()) {
        return std::nullopt;
    }
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (value->is_number_integer()) {
        return value->get<std::int64_t>();
    }
    const double number = value->get<double>();
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (std::isfinite(number) && std::trunc(number) == number && number >= -9223372036854775808.0 &&
        number < 9223372036854775808.0) {
        return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

} // namespace ostral::supabase::json
