#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ostral::devstack {

// What the Realtime endpoint needs to know of a table whose changes it forwards: its columns in
// table order with their PostgreSQL type names (typname: "uuid", "int8", "timestamptz", ...),
// and its primary key.
struct RealtimeColumn {
    std::string name;
    std::string type;

    bool operator==(const RealtimeColumn&) const = default;
};

struct RealtimeTable {
    std::string schema;
    std::string name;
    std::vector<RealtimeColumn> columns;
    std::vector<std::string> primaryKey;

    const RealtimeColumn* column(std::string_view columnName) const;
};

struct RealtimeCatalog {
    std::vector<RealtimeTable> tables;

    const RealtimeTable* find(std::string_view schema, std::string_view table) const;
    bool hasSchema(std::string_view schema) const;
};

} // namespace ostral::devstack
