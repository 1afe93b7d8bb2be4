#pragma once

#include "Outcome.h"
#include "RealtimeCatalog.h"

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace ostral::devstack {

enum class RealtimeFilterOp { eq, neq, lt, lte, gt, gte, in };

// One postgres_changes filter, `column=op.value` (or `column=in.(a,b,"c,d")`), checked against
// the table it subscribes to. `values` has one entry except for `in`.
struct RealtimeFilter {
    std::string column;
    std::string columnType;
    RealtimeFilterOp op = RealtimeFilterOp::eq;
    std::vector<std::string> values;

    bool operator==(const RealtimeFilter&) const = default;
};

// Parses a filter for `table`. Refuses an unknown column or operator, and a value that the
// column's type cannot hold (a uuid, an integer or a boolean column), with a reason for the
// client.
Outcome<RealtimeFilter, std::string> parseRealtimeFilter(std::string_view text,
                                                         const RealtimeTable& table);

// Whether a change record (column name → JSON value) passes the filter. A missing or null value
// passes no filter, as a comparison with NULL is never true in SQL. Values compare by their
// text form (JSON text for numbers and booleans); uuids ignore case and numeric columns order
// by number.
bool realtimeFilterMatches(const RealtimeFilter& filter, const nlohmann::json& record);

} // namespace ostral::devstack
