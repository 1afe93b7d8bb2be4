#include "Catalog.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

namespace ostral::devstack {
namespace {

constexpr const char* columnsSql = R"sql(
SELECT c.relname, a.attname, format_type(a.atttypid, a.atttypmod) AS type, t.typname,
       a.attnotnull::text, a.atthasdef::text
FROM pg_class c
JOIN pg_namespace n ON n.oid = c.relnamespace
JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped
JOIN pg_type t ON t.oid = a.atttypid
WHERE n.nspname = 'public' AND c.relkind IN ('r', 'v', 'm', 'p', 'f')
ORDER BY c.relname, a.attnum
)sql";

constexpr const char* keysSql = R"sql(
SELECT c.relname, i.indisprimary::text,
       (SELECT json_agg(a.attname ORDER BY k.i)
          FROM unnest(i.indkey::int2[]) WITH ORDINALITY AS k(n, i)
          JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.n)::text
FROM pg_index i
JOIN pg_class c ON c.oid = i.indrelid
JOIN pg_namespace n ON n.oid = c.relnamespace
WHERE n.nspname = 'public' AND i.indisunique AND i.indexprs IS NULL AND i.indpred IS NULL
ORDER BY c.relname, i.indisprimary DESC, i.indexrelid
)sql";

constexpr const char* functionsSql = R"sql(
SELECT p.proname, p.proretset::text, t.typname, t.typtype::text,
       format_type(p.prorettype, NULL), p.provolatile::text, p.pronargdefaults::text,
       (SELECT COALESCE(json_agg(json_build_object(
                  'name', COALESCE(p.proargnames[g.i], ''),
                  'type', format_type(COALESCE(p.proallargtypes[g.i], p.proargtypes[g.i - 1]), NULL),
                  'mode', COALESCE(p.proargmodes[g.i], 'i')) ORDER BY g.i), '[]')
          FROM generate_series(1, COALESCE(array_length(p.proallargtypes, 1), p.pronargs)) AS g(i)
       )::text
FROM pg_proc p
JOIN pg_namespace n ON n.oid = p.pronamespace
JOIN pg_type t ON t.oid = p.prorettype
WHERE n.nspname = 'public' AND p.prokind = 'f' AND t.typname NOT IN ('trigger', 'event_trigger')
  -- Functions of extensions installed in public (pgcrypto's crypt, digest, ...) are not part
  -- of the API.
  AND NOT EXISTS (SELECT 1 FROM pg_depend d
                  WHERE d.classid = 'pg_proc'::regclass AND d.objid = p.oid AND d.deptype = 'e')
ORDER BY p.proname, p.oid
)sql";

std::string text(const DbValue& value) {
    return value.value_or(std::string());
}

} // namespace

const CatalogColumn* CatalogTable::column(std::string_view columnName) const {
    for (const auto& candidate : columns) {
        if (candidate.name == columnName) {
            return &candidate;
        }
    }
    return nullptr;
}

Outcome<Catalog, DbError> Catalog::load(Db& db) {
    Catalog catalog;
    auto columns = db.exec(columnsSql);
    if (!columns) {
        return Failure{std::move(columns).error()};
    }
    for (const auto& row : columns->rows) {
        auto& table = catalog.tables_[text(row[0])];
        table.name = text(row[0]);
        table.columns.push_back(CatalogColumn{text(row[1]), text(row[2]), text(row[3]),
                                              text(row[4]) == "true", text(row[5]) == "true"});
    }

    auto keys = db.exec(keysSql);
    if (!keys) {
        return Failure{std::move(keys).error()};
    }
    for (const auto& row : keys->rows) {
        const auto found = catalog.tables_.find(text(row[0]));
        const auto names = nlohmann::json::parse(text(row[2]), nullptr, false);
        if (found == catalog.tables_.end() || !names.is_array()) {
            continue;
        }
        std::vector<std::string> key;
        for (const auto& name : names) {
            if (name.is_string()) {
                key.push_back(name.get<std::string>());
            }
        }
        if (text(row[1]) == "true") {
            found->second.primaryKey = key;
        }
        found->second.uniqueKeys.push_back(std::move(key));
    }

    auto functions = db.exec(functionsSql);
    if (!functions) {
        return Failure{std::move(functions).error()};
    }
    for (const auto& row : functions->rows) {
        CatalogFunction function;
        function.name = text(row[0]);
        const bool returnsSet = text(row[1]) == "true";
        const std::string typeName = text(row[2]);
        const bool composite = text(row[3]) == "c" || typeName == "record";
        if (typeName == "void") {
            function.result = FunctionResult::none;
        } else if (returnsSet) {
            function.result =
                composite ? FunctionResult::setOfComposite : FunctionResult::setOfScalar;
        } else {
            function.result = composite ? FunctionResult::composite : FunctionResult::scalar;
        }
        function.resultType = text(row[4]);
        function.isVolatile = text(row[5]) == "v";
        const long defaults = std::strtol(text(row[6]).c_str(), nullptr, 10);
        const auto arguments = nlohmann::json::parse(text(row[7]), nullptr, false);
        if (arguments.is_array()) {
            for (const auto& argument : arguments) {
                const std::string mode = argument.value("mode", "i");
                if (mode == "i" || mode == "b") {
                    function.arguments.push_back(CatalogArgument{
                        argument.value("name", ""), argument.value("type", ""), false});
                }
            }
        }
        // The last `defaults` input arguments have defaults.
        for (std::size_t i = function.arguments.size(),
                         left = static_cast<std::size_t>(defaults > 0 ? defaults : 0);
             i > 0 && left > 0; --i, --left) {
            function.arguments[i - 1].hasDefault = true;
        }
        catalog.functions_[function.name].push_back(std::move(function));
    }
    return catalog;
}

const CatalogTable* Catalog::table(std::string_view name) const {
    const auto found = tables_.find(name);
    return found == tables_.end() ? nullptr : &found->second;
}

const std::vector<CatalogFunction>& Catalog::functions(std::string_view name) const {
    static const std::vector<CatalogFunction> none;
    const auto found = functions_.find(name);
    return found == functions_.end() ? none : found->second;
}

} // namespace ostral::devstack
