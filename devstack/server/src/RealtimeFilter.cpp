#include "RealtimeFilter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

namespace ostral::devstack {
namespace {

constexpr std::array<std::pair<std::string_view, RealtimeFilterOp>, 7> operators{{
    {"eq", RealtimeFilterOp::eq},
    {"neq", RealtimeFilterOp::neq},
    {"lt", RealtimeFilterOp::lt},
    {"lte", RealtimeFilterOp::lte},
    {"gt", RealtimeFilterOp::gt},
    {"gte", RealtimeFilterOp::gte},
    {"in", RealtimeFilterOp::in},
}};

bool isIntegerType(std::string_view type) {
    return type == "int2" || type == "int4" || type == "int8";
}

bool isNumericType(std::string_view type) {
    return isIntegerType(type) || type == "float4" || type == "float8" || type == "numeric";
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isUuidText(std::string_view text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !isHex(text[i])) {
            return false;
        }
    }
    return true;
}

std::optional<std::int64_t> integerText(std::string_view text) {
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || next != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> numberText(std::string_view text) {
    if (text.empty() || text.size() > 64) {
        return std::nullopt;
    }
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::string lowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return lower;
}

std::optional<std::string> valueProblem(std::string_view value, std::string_view type) {
    if (type == "uuid" && !isUuidText(value)) {
        return "invalid input syntax for type uuid: \"" + std::string(value) + "\"";
    }
    if (isIntegerType(type) && !integerText(value)) {
        return "invalid input syntax for type " + std::string(type) + ": \"" + std::string(value) +
               "\"";
    }
    if (type == "bool" && value != "true" && value != "false") {
        return "invalid input syntax for type boolean: \"" + std::string(value) + "\"";
    }
    return std::nullopt;
}

// `(a,b,"c,d")` → {a, b, c,d}. Quoted items may hold commas and parentheses; a backslash takes
// the next character literally.
Outcome<std::vector<std::string>, std::string> listItems(std::string_view text) {
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') {
        return Failure{std::string("`in` takes a list in parentheses: in.(a,b)")};
    }
    const std::string_view inner = text.substr(1, text.size() - 2);
    std::vector<std::string> items;
    std::string item;
    bool quoted = false;
    bool wasQuoted = false;
    for (std::size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        if (quoted) {
            if (c == '\\' && i + 1 < inner.size()) {
                item += inner[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                item += c;
            }
        } else if (c == '"' && item.empty() && !wasQuoted) {
            quoted = true;
            wasQuoted = true;
        } else if (c == ',') {
            items.push_back(std::move(item));
            item.clear();
            wasQuoted = false;
        } else if (wasQuoted) {
            return Failure{std::string("text after a quoted list item")};
        } else {
            item += c;
        }
    }
    if (quoted) {
        return Failure{std::string("unterminated quote in the list")};
    }
    items.push_back(std::move(item));
    return items;
}

// The record value as the text the filter compares with; nullopt for a missing or null value.
std::optional<std::string> recordText(const nlohmann::json& record, const std::string& column) {
    if (!record.is_object()) {
        return std::nullopt;
    }
    const auto found = record.find(column);
    if (found == record.end() || found->is_null()) {
        return std::nullopt;
    }
    if (found->is_string()) {
        return found->get<std::string>();
    }
    return found->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Three-way comparison of a record value with a filter value; nullopt when they cannot be
// compared (a numeric column holding something that is not a number).
std::optional<int> compare(const std::string& value, const std::string& wanted,
                           std::string_view type) {
    if (isNumericType(type)) {
        const auto a = integerText(value);
        const auto b = integerText(wanted);
        if (a && b) {
            return *a < *b ? -1 : (*a > *b ? 1 : 0);
        }
        const auto x = numberText(value);
        const auto y = numberText(wanted);
        if (!x || !y) {
            return std::nullopt;
        }
        return *x < *y ? -1 : (*x > *y ? 1 : 0);
    }
    const int order =
        type == "uuid" ? lowerAscii(value).compare(lowerAscii(wanted)) : value.compare(wanted);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

} // namespace

Outcome<RealtimeFilter, std::string> parseRealtimeFilter(std::string_view text,
                                                         const RealtimeTable& table) {
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        return Failure{"invalid filter \"" + std::string(text) + "\": expected column=op.value"};
    }
    RealtimeFilter filter;
    filter.column = std::string(text.substr(0, equals));
    const RealtimeColumn* column = table.column(filter.column);
    if (column == nullptr) {
        return Failure{"invalid filter \"" + std::string(text) + "\": column " + filter.column +
                       " does not exist in " + table.schema + "." + table.name};
    }
    filter.columnType = column->type;
    const std::string_view rest = text.substr(equals + 1);
    const auto dot = rest.find('.');
    const std::string_view opName = rest.substr(0, dot);
    const auto op = std::find_if(operators.begin(), operators.end(),
                                 [opName](const auto& entry) { return entry.first == opName; });
    if (dot == std::string_view::npos || op == operators.end()) {
        return Failure{"invalid filter \"" + std::string(text) +
                       "\": the operator must be one of eq, neq, lt, lte, gt, gte, in"};
    }
    filter.op = op->second;
    const std::string_view value = rest.substr(dot + 1);
    if (filter.op == RealtimeFilterOp::in) {
        auto items = listItems(value);
        if (!items) {
            return Failure{"invalid filter \"" + std::string(text) + "\": " + items.error()};
        }
        filter.values = std::move(items).value();
    } else {
        filter.values.emplace_back(value);
    }
    for (const auto& item : filter.values) {
        if (auto problem = valueProblem(item, filter.columnType)) {
            return Failure{"invalid filter \"" + std::string(text) + "\": " + *problem};
        }
    }
    return filter;
}

bool realtimeFilterMatches(const RealtimeFilter& filter, const nlohmann::json& record) {
    const auto value = recordText(record, filter.column);
    if (!value || filter.values.empty()) {
        return false;
    }
    if (filter.op == RealtimeFilterOp::in) {
        return std::any_of(filter.values.begin(), filter.values.end(), [&](const auto& item) {
            return compare(*value, item, filter.columnType) == 0;
        });
    }
    const auto order = compare(*value, filter.values.front(), filter.columnType);
    if (!order) {
        return false;
    }
    switch (filter.op) {
    case RealtimeFilterOp::eq:
        return *order == 0;
    case RealtimeFilterOp::neq:
        return *order != 0;
    case RealtimeFilterOp::lt:
        return *order < 0;
    case RealtimeFilterOp::lte:
        return *order <= 0;
    case RealtimeFilterOp::gt:
        return *order > 0;
    case RealtimeFilterOp::gte:
        return *order >= 0;
    case RealtimeFilterOp::in:
        break;
    }
    return false;
}

} // namespace ostral::devstack
