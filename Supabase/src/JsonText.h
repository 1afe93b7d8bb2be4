#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// Small readers of JSON from outside the process, none of which throws.
namespace ostral::supabase::json {

// Parses `text`; nullopt when it is not JSON or nests deeper than any answer of the backend
// (writing a value out again and comparing values are recursive).
std::optional<nlohmann::json> parse(std::string_view text);

// The string at `key` of an object; nullopt when absent, null or not a string.
std::optional<std::string> string(const nlohmann::json& object, std::string_view key);
// A finite number at `key`; nullopt otherwise.
std::optional<double> number(const nlohmann::json& object, std::string_view key);
// A whole number at `key` that fits in 64 bits (a float with no fraction counts); nullopt
// otherwise.
std::optional<std::int64_t> integer(const nlohmann::json& object, std::string_view key);

} // namespace ostral::supabase::json
