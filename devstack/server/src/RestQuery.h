#pragma once

#include "Outcome.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostral::devstack {

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// Splits a query string into decoded name/value pairs in order ('+' is a space; a malformed
// percent escape is kept as typed). Repeated names stay repeated.
QueryParams parseQueryString(std::string_view raw);

// A parse failure of the REST query language: PostgREST's PGRST100 with its message and
// details texts.
struct RestParseError {
    std::string message;
    std::optional<std::string> details;
};

enum class FilterOperator { eq, neq, gt, gte, lt, lte, like, ilike, is, in };

struct Filter {
    std::string column;
    FilterOperator op = FilterOperator::eq;
    bool negated = false;
    // One value for most operators; the list for `in`; for `is` one of "null", "not_null",
    // "true", "false", "unknown".
    std::vector<std::string> values;
};

struct SelectItem {
    std::string column; // "*" for every column
    std::optional<std::string> alias;
    std::optional<std::string> cast; // a plain type name
};

struct OrderTerm {
    std::string column;
    bool descending = false;
    std::optional<bool> nullsFirst;
};

// `col=op.value`, `col=not.op.value`; the value is taken as is except for `in.(..)` lists,
// whose items may be double-quoted with backslash escapes.
Outcome<Filter, RestParseError> parseFilter(std::string_view column, std::string_view value);
// `a,b:alias,c::text` or `*`. Embedded resources are not supported and fail to parse.
Outcome<std::vector<SelectItem>, RestParseError> parseSelect(std::string_view text);
// `a.desc.nullslast,b`
Outcome<std::vector<OrderTerm>, RestParseError> parseOrder(std::string_view text);
// `a,b` (on_conflict, columns): plain names, optionally double-quoted.
Outcome<std::vector<std::string>, RestParseError> parseColumnList(std::string_view text);
// A non-negative decimal count that fits in 63 bits.
std::optional<std::int64_t> parseCount(std::string_view text);

// Everything a table request may say in its query string.
struct TableQuery {
    std::optional<std::vector<SelectItem>> select; // absent: every column
    std::vector<Filter> filters;
    std::vector<OrderTerm> order;
    std::optional<std::int64_t> limit;
    std::optional<std::int64_t> offset;
    std::optional<std::vector<std::string>> onConflict;
    std::optional<std::vector<std::string>> columns;
};

// Reads select/order/limit/offset/on_conflict/columns and treats every other name as a filter.
Outcome<TableQuery, RestParseError> parseTableQuery(const QueryParams& params);

enum class ReturnPreference { minimal, headersOnly, representation };
enum class ResolutionPreference { none, mergeDuplicates, ignoreDuplicates };

struct Preferences {
    std::optional<ReturnPreference> returning; // absent: the method's default
    ResolutionPreference resolution = ResolutionPreference::none;
    bool countExact = false;
    bool missingDefault = false;
};

// All Prefer header values of a request ("return=representation, resolution=merge-duplicates");
// unknown preferences are ignored, as PostgREST does by default.
Preferences parsePreferences(const std::vector<std::string>& headerValues);

// `"name"` with inner quotes doubled.
std::string quoteIdentifier(std::string_view name);

} // namespace ostral::devstack
