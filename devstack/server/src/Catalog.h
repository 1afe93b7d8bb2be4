#pragma once

#include "Db.h"
#include "Outcome.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ostral::devstack {

struct CatalogColumn {
    std::string name;
    std::string type;    // SQL spelling for casts, e.g. "timestamp with time zone", "text[]"
    std::string udtName; // pg_type name, e.g. "timestamptz", "_text", "uuid"
    bool notNull = false;
    bool hasDefault = false;
};

struct CatalogTable {
    std::string name;
    std::vector<CatalogColumn> columns; // in table order
    std::vector<std::string> primaryKey;
    std::vector<std::vector<std::string>> uniqueKeys; // every unique index incl. the primary key

    const CatalogColumn* column(std::string_view columnName) const;
};

struct CatalogArgument {
    std::string name;
    std::string type;
    bool hasDefault = false;
};

enum class FunctionResult {
    none,           // void
    scalar,         // one value (json/jsonb given as is)
    composite,      // one row, answered as an object
    setOfScalar,    // answered as an array of values
    setOfComposite, // answered as an array of row objects
};

struct CatalogFunction {
    std::string name;
    std::vector<CatalogArgument> arguments; // input arguments in order
    FunctionResult result = FunctionResult::scalar;
    std::string resultType; // SQL spelling of the return type
    bool isVolatile = true;
};

// The public schema as the REST and realtime endpoints see it: tables and views with their
// columns and keys, and functions with their named arguments. Every identifier a request names
// is looked up here before it is written into SQL.
class Catalog {
public:
    static Outcome<Catalog, DbError> load(Db& db);

    const CatalogTable* table(std::string_view name) const;
    // The overloads of `name` (empty when unknown).
    const std::vector<CatalogFunction>& functions(std::string_view name) const;

    const std::map<std::string, CatalogTable, std::less<>>& tables() const { return tables_; }

private:
    std::map<std::string, CatalogTable, std::less<>> tables_;
    std::map<std::string, std::vector<CatalogFunction>, std::less<>> functions_;
};

} // namespace ostral::devstack
