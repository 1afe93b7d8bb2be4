#include "Endpoints.h"
#include "RestQuery.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

namespace ostral::devstack {
namespace {

constexpr std::string_view singleObjectType = "application/vnd.pgrst.object+json";
// Marks a failure that is not PostgreSQL's: a single object was requested and the mutation
// touched another number of rows, so its transaction is rolled back.
constexpr std::string_view notSingleState = "PGRST116";

struct Statement {
    std::string sql;
    DbParams params;

    std::string bind(DbValue value) {
        params.push_back(std::move(value));
        return "$" + std::to_string(params.size());
    }
};

std::optional<std::string> nullableText(const std::optional<std::string>& text) {
    return text;
}

int statusForSqlState(const std::string& state, const std::string& message, bool anonymous) {
    if (state == "23505" || state == "23503") {
        return 409;
    }
    if (state == "42501") {
        return anonymous ? 401 : 403;
    }
    if (state == "42883" || state == "42P01") {
        return 404;
    }
    if (state == "25006") {
        return 405;
    }
    if (state == "22023" && message.find("role") != std::string::npos &&
        message.find("does not exist") != std::string::npos) {
        return 401;
    }
    if (state.size() == 5 && state.compare(0, 2, "PT") == 0) {
        // RAISE ... USING ERRCODE = 'PT404' answers with that HTTP status.
        const std::string digits = state.substr(2);
        if (std::all_of(digits.begin(), digits.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            const int status = std::stoi(digits);
            if (status >= 100 && status <= 599) {
                return status;
            }
        }
    }
    if (state.compare(0, 2, "08") == 0 || state.compare(0, 2, "53") == 0) {
        return 503;
    }
    return 400;
}

HttpResponse dbErrorResponse(const DbError& error, const Principal& principal) {
    if (error.sqlState == notSingleState) {
        return restError(406, notSingleState, "Cannot coerce the result to a single JSON object",
                         error.details);
    }
    return restError(statusForSqlState(error.sqlState, error.message, principal.role == "anon"),
                     error.sqlState, error.message, nullableText(error.details),
                     nullableText(error.hint));
}

HttpResponse parseErrorResponse(const RestParseError& error) {
    return restError(400, "PGRST100", error.message, error.details);
}

HttpResponse unknownColumn(const CatalogTable& table, std::string_view column) {
    return restError(400, "42703", fmt::format("column {}.{} does not exist", table.name, column));
}

HttpResponse unknownBodyColumn(const CatalogTable& table, std::string_view column) {
    return restError(400, "PGRST204",
                     fmt::format("Could not find the '{}' column of '{}' in the schema cache",
                                 column, table.name));
}

HttpResponse invalidJson() {
    return restError(400, "PGRST102", "Empty or invalid json");
}

bool wantsSingleObject(const HttpRequest& request) {
    const auto accept = request.header("accept");
    return accept && accept->find(singleObjectType) != std::string::npos;
}

std::vector<std::string> headerValues(const HttpRequest& request, std::string_view name) {
    std::vector<std::string> values;
    for (const auto& [key, value] : request.headers) {
        if (key == name) {
            values.push_back(value);
        }
    }
    return values;
}

std::string contentRange(std::int64_t offset, std::int64_t count,
                         std::optional<std::int64_t> total) {
    const std::string totalText = total ? std::to_string(*total) : "*";
    if (count <= 0) {
        return "*/" + totalText;
    }
    return fmt::format("{}-{}/{}", offset, offset + count - 1, totalText);
}

std::int64_t toCount(const DbValue& value) {
    if (!value) {
        return 0;
    }
    return parseCount(*value).value_or(0);
}

// The column list of a select= (or every column), written over `source`.
Outcome<std::string, HttpResponse> selectList(const CatalogTable& table,
                                              const std::optional<std::vector<SelectItem>>& select,
                                              std::string_view source) {
    std::vector<std::string> parts;
    const auto all = [&] {
        for (const auto& column : table.columns) {
            parts.push_back(fmt::format("{}.{}", source, quoteIdentifier(column.name)));
        }
    };
    if (!select) {
        all();
    } else {
        for (const auto& item : *select) {
            if (item.column == "*") {
                all();
                continue;
            }
            if (table.column(item.column) == nullptr) {
                return Failure{unknownColumn(table, item.column)};
            }
            std::string expression = fmt::format("{}.{}", source, quoteIdentifier(item.column));
            if (item.cast) {
                expression += "::" + quoteIdentifier(*item.cast);
            }
            parts.push_back(expression + " AS " +
                            quoteIdentifier(item.alias.value_or(item.column)));
        }
    }
    if (parts.empty()) {
        return std::string("NULL AS \"pgrst$none\"");
    }
    std::string list;
    for (const auto& part : parts) {
        list += (list.empty() ? "" : ", ") + part;
    }
    return list;
}

// The WHERE condition of the filters ("true" without any).
Outcome<std::string, HttpResponse>
whereClause(const CatalogTable& table, const std::vector<Filter>& filters, Statement& statement) {
    std::string where;
    for (const auto& filter : filters) {
        const CatalogColumn* column = table.column(filter.column);
        if (column == nullptr) {
            return Failure{unknownColumn(table, filter.column)};
        }
        const std::string ref = quoteIdentifier(table.name) + "." + quoteIdentifier(column->name);
        const auto value = [&](const std::string& text) {
            return statement.bind(text) + "::" + column->type;
        };
        std::string condition;
        switch (filter.op) {
        case FilterOperator::eq:
            condition = ref + " = " + value(filter.values.at(0));
            break;
        case FilterOperator::neq:
            condition = ref + " <> " + value(filter.values.at(0));
            break;
        case FilterOperator::gt:
            condition = ref + " > " + value(filter.values.at(0));
            break;
        case FilterOperator::gte:
            condition = ref + " >= " + value(filter.values.at(0));
            break;
        case FilterOperator::lt:
            condition = ref + " < " + value(filter.values.at(0));
            break;
        case FilterOperator::lte:
            condition = ref + " <= " + value(filter.values.at(0));
            break;
        case FilterOperator::like:
            condition = ref + "::text LIKE " + statement.bind(filter.values.at(0));
            break;
        case FilterOperator::ilike:
            condition = ref + "::text ILIKE " + statement.bind(filter.values.at(0));
            break;
        case FilterOperator::is: {
            const std::string& word = filter.values.at(0);
            condition = ref + (word == "null"       ? " IS NULL"
                               : word == "not_null" ? " IS NOT NULL"
                               : word == "true"     ? " IS TRUE"
                               : word == "false"    ? " IS FALSE"
                                                    : " IS UNKNOWN");
            break;
        }
        case FilterOperator::in: {
            if (filter.values.empty()) {
                condition = "false";
                break;
            }
            std::string list;
            for (const auto& item : filter.values) {
                list += list.empty() ? "" : ", ";
                list += value(item);
            }
            condition = ref;
            condition.append(" IN (").append(list).append(")");
            break;
        }
        }
        if (filter.negated) {
            condition.insert(0, "NOT (").append(")");
        }
        where += where.empty() ? "" : " AND ";
        where += condition;
    }
    return where.empty() ? std::string("true") : where;
}

Outcome<std::string, HttpResponse> orderClause(const CatalogTable& table,
                                               const std::vector<OrderTerm>& order) {
    std::string clause;
    for (const auto& term : order) {
        if (table.column(term.column) == nullptr) {
            return Failure{unknownColumn(table, term.column)};
        }
        clause += clause.empty() ? " ORDER BY " : ", ";
        clause += quoteIdentifier(table.name) + "." + quoteIdentifier(term.column);
        clause += term.descending ? " DESC" : " ASC";
        if (term.nullsFirst) {
            clause += *term.nullsFirst ? " NULLS FIRST" : " NULLS LAST";
        }
    }
    return clause;
}

// Runs a statement whose first three columns are the JSON array of rows, their count and the
// first row, as the request's role; `extra` columns follow.
struct RowsAnswer {
    std::string array;
    std::int64_t count = 0;
    std::string first;
    DbRows raw;
};

RowsAnswer rowsAnswer(DbRows rows) {
    RowsAnswer answer;
    if (!rows.rows.empty() && rows.rows[0].size() >= 3) {
        answer.array = rows.rows[0][0].value_or("[]");
        answer.count = toCount(rows.rows[0][1]);
        answer.first = rows.rows[0][2].value_or("null");
    } else {
        answer.array = "[]";
        answer.first = "null";
    }
    answer.raw = std::move(rows);
    return answer;
}

constexpr const char* rowsProjection =
    "SELECT coalesce(json_agg(pgrst_source), '[]')::text, count(*), "
    "(array_agg(row_to_json(pgrst_source)))[1]::text";

HttpResponse rowsResponse(int status, const RowsAnswer& answer, bool single) {
    HttpResponse response;
    response.status = status;
    if (single) {
        response.contentType = "application/vnd.pgrst.object+json; charset=utf-8";
        response.body = answer.first;
    } else {
        response.contentType = "application/json; charset=utf-8";
        response.body = answer.array;
    }
    return response;
}

class TableRequest {
public:
    TableRequest(Server& server, const HttpRequest& request, const CatalogTable& table,
                 const Principal& principal, TableQuery query)
        : server_(server)
        , request_(request)
        , table_(table)
        , principal_(principal)
        , query_(std::move(query))
        , single_(wantsSingleObject(request))
        , preferences_(parsePreferences(headerValues(request, "prefer"))) {}

    HttpResponse read(bool head);
    HttpResponse insert();
    HttpResponse update();
    HttpResponse remove();

private:
    Outcome<DbRows, DbError> run(const Statement& statement, bool readOnly, bool checkSingle);
    bool representation() const {
        return preferences_.returning == ReturnPreference::representation;
    }
    std::string target() const { return "public." + quoteIdentifier(table_.name); }
    HttpResponse answerMutation(Statement& statement, const std::string& mutation);
    HttpResponse mutationResponse(int status, Outcome<DbRows, DbError> rows,
                                  std::int64_t* inserted = nullptr);

    Server& server_;
    const HttpRequest& request_;
    const CatalogTable& table_;
    const Principal& principal_;
    TableQuery query_;
    bool single_;
    Preferences preferences_;
};

Outcome<DbRows, DbError> TableRequest::run(const Statement& statement, bool readOnly,
                                           bool checkSingle) {
    return server_.db().asRole(
        principal_.role, principal_.claims.dump(), [&](Db& db) -> Outcome<DbRows, DbError> {
            if (readOnly) {
                if (auto set = db.exec("SET TRANSACTION READ ONLY"); !set) {
                    return Failure{std::move(set).error()};
                }
            }
            auto rows = db.exec(statement.sql, statement.params);
            if (rows && checkSingle) {
                const auto count =
                    !rows->rows.empty() && rows->rows[0].size() > 1 ? toCount(rows->rows[0][1]) : 0;
                if (count != 1) {
                    return Failure{DbError{std::string(notSingleState), "",
                                           fmt::format("The result contains {} rows", count),
                                           std::nullopt}};
                }
            }
            return rows;
        });
}

HttpResponse TableRequest::read(bool head) {
    Statement statement;
    auto columns = selectList(table_, query_.select, quoteIdentifier(table_.name));
    if (!columns) {
        return std::move(columns).error();
    }
    auto where = whereClause(table_, query_.filters, statement);
    if (!where) {
        return std::move(where).error();
    }
    auto order = orderClause(table_, query_.order);
    if (!order) {
        return std::move(order).error();
    }
    std::string paging;
    if (query_.limit) {
        paging += " LIMIT " + statement.bind(std::to_string(*query_.limit)) + "::bigint";
    }
    if (query_.offset) {
        paging += " OFFSET " + statement.bind(std::to_string(*query_.offset)) + "::bigint";
    }
    std::string total = "NULL";
    if (preferences_.countExact) {
        total = fmt::format("(SELECT count(*) FROM {} WHERE {})", target(), *where);
    }
    statement.sql = fmt::format("{}, {} FROM (SELECT {} FROM {} WHERE {}{}{}) pgrst_source",
                                rowsProjection, total, *columns, target(), *where, *order, paging);
    auto rows = run(statement, true, false);
    if (!rows) {
        return dbErrorResponse(rows.error(), principal_);
    }
    const RowsAnswer answer = rowsAnswer(std::move(rows).value());
    if (single_ && answer.count != 1) {
        return restError(406, notSingleState, "Cannot coerce the result to a single JSON object",
                         fmt::format("The result contains {} rows", answer.count));
    }
    std::optional<std::int64_t> totalCount;
    if (preferences_.countExact && !answer.raw.rows.empty() && answer.raw.rows[0].size() > 3) {
        totalCount = toCount(answer.raw.rows[0][3]);
    }
    HttpResponse response = rowsResponse(200, answer, single_);
    response.withHeader("Content-Range",
                        contentRange(query_.offset.value_or(0), answer.count, totalCount));
    if (head) {
        response.body.clear();
    }
    return response;
}

HttpResponse TableRequest::mutationResponse(int status, Outcome<DbRows, DbError> rows,
                                            std::int64_t* inserted) {
    if (!rows) {
        return dbErrorResponse(rows.error(), principal_);
    }
    const RowsAnswer answer = rowsAnswer(std::move(rows).value());
    if (inserted != nullptr && !answer.raw.rows.empty() && answer.raw.rows[0].size() > 3) {
        *inserted = toCount(answer.raw.rows[0][3]);
    }
    HttpResponse response =
        representation() ? rowsResponse(status, answer, single_) : HttpResponse::empty(status);
    // PostgREST gives inserts no range, updates and deletes the range of the rows they touched.
    response.withHeader("Content-Range", request_.method == "POST"
                                             ? std::string("*/*")
                                             : contentRange(0, answer.count, std::nullopt));
    return response;
}

HttpResponse TableRequest::insert() {
    const auto body = nlohmann::json::parse(request_.body, nullptr, false);
    if (body.is_discarded() || (!body.is_object() && !body.is_array())) {
        return invalidJson();
    }
    nlohmann::json rows = body.is_array() ? body : nlohmann::json::array({body});
    std::vector<std::string> columns;
    if (query_.columns) {
        columns = *query_.columns;
    } else if (!rows.empty()) {
        if (!rows[0].is_object()) {
            return invalidJson();
        }
        for (const auto& item : rows[0].items()) {
            columns.push_back(item.key());
        }
        const std::set<std::string> keys(columns.begin(), columns.end());
        for (const auto& row : rows) {
            if (!row.is_object()) {
                return invalidJson();
            }
            std::set<std::string> rowKeys;
            for (const auto& item : row.items()) {
                rowKeys.insert(item.key());
            }
            if (rowKeys != keys) {
                return restError(400, "PGRST102", "All object keys must match");
            }
        }
    }
    for (const auto& column : columns) {
        if (table_.column(column) == nullptr) {
            return unknownBodyColumn(table_, column);
        }
    }
    std::string columnList;
    std::string valueList;
    for (const auto& column : columns) {
        columnList += (columnList.empty() ? "" : ", ") + quoteIdentifier(column);
        valueList += (valueList.empty() ? "" : ", ") + ("pgrst_body." + quoteIdentifier(column));
    }

    Statement statement;
    const std::string payload =
        statement.bind(rows.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    std::string conflict;
    if (preferences_.resolution != ResolutionPreference::none) {
        const std::vector<std::string> keys = query_.onConflict.value_or(table_.primaryKey);
        std::string keyList;
        for (const auto& key : keys) {
            if (table_.column(key) == nullptr) {
                return unknownColumn(table_, key);
            }
            keyList += (keyList.empty() ? "" : ", ") + quoteIdentifier(key);
        }
        if (keyList.empty()) {
            return restError(400, "42P10",
                             "there is no unique or exclusion constraint matching the ON "
                             "CONFLICT columns");
        }
        std::string updates;
        if (preferences_.resolution == ResolutionPreference::mergeDuplicates) {
            for (const auto& column : columns) {
                updates += (updates.empty() ? "" : ", ") + quoteIdentifier(column) +
                           " = EXCLUDED." + quoteIdentifier(column);
            }
        }
        conflict = " ON CONFLICT (" + keyList + ") " +
                   (updates.empty() ? std::string("DO NOTHING") : "DO UPDATE SET " + updates);
    }
    const std::string insert =
        columns.empty()
            ? fmt::format("INSERT INTO {} SELECT FROM json_populate_recordset(NULL::{}, {}::json) "
                          "pgrst_body{}",
                          target(), target(), payload, conflict)
            : fmt::format("INSERT INTO {} ({}) SELECT {} FROM json_populate_recordset(NULL::{}, "
                          "{}::json) pgrst_body{}",
                          target(), columnList, valueList, target(), payload, conflict);

    if (!representation()) {
        // RETURNING 1 reads no column, so rows the role may not select can still be written.
        statement.sql = fmt::format("WITH pgrst_mutation AS ({} RETURNING 1) SELECT '[]', "
                                    "count(*), NULL FROM pgrst_mutation",
                                    insert);
        return mutationResponse(201, run(statement, false, false));
    }
    auto selected = selectList(table_, query_.select, "pgrst_mutation");
    if (!selected) {
        return std::move(selected).error();
    }
    statement.sql = fmt::format(
        "WITH pgrst_mutation AS ({} RETURNING {}.*, (xmax::text = '0') AS \"pgrst$inserted\") "
        "{}, (SELECT count(*) FROM pgrst_mutation WHERE \"pgrst$inserted\") "
        "FROM (SELECT {} FROM pgrst_mutation) pgrst_source",
        insert, target(), rowsProjection, *selected);
    std::int64_t inserted = 0;
    auto outcome = run(statement, false, single_);
    const bool succeeded = outcome.hasValue();
    std::int64_t count = 0;
    if (succeeded && !outcome->rows.empty() && outcome->rows[0].size() > 1) {
        count = toCount(outcome->rows[0][1]);
    }
    HttpResponse response = mutationResponse(201, std::move(outcome), &inserted);
    // Every row merged into an existing one and none inserted: 200, as PostgREST answers.
    if (succeeded && preferences_.resolution != ResolutionPreference::none && count > 0 &&
        inserted == 0) {
        response.status = 200;
    }
    return response;
}

HttpResponse TableRequest::update() {
    if (query_.limit || query_.offset) {
        return restError(400, "PGRST100", "limit and offset are not supported on updates");
    }
    const auto body = nlohmann::json::parse(request_.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return invalidJson();
    }
    Statement statement;
    std::string assignments;
    for (const auto& item : body.items()) {
        if (table_.column(item.key()) == nullptr) {
            return unknownBodyColumn(table_, item.key());
        }
        assignments += (assignments.empty() ? "" : ", ") + quoteIdentifier(item.key()) +
                       " = pgrst_body." + quoteIdentifier(item.key());
    }
    const std::string payload =
        statement.bind(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    auto where = whereClause(table_, query_.filters, statement);
    if (!where) {
        return std::move(where).error();
    }
    if (assignments.empty()) {
        // Nothing to change: PostgREST answers without touching any row.
        HttpResponse response = representation() ? HttpResponse::json(200, nlohmann::json::array())
                                                 : HttpResponse::empty(204);
        return response;
    }
    const std::string update = fmt::format(
        "UPDATE {} SET {} FROM (SELECT * FROM json_populate_record(NULL::{}, {}::json)) "
        "pgrst_body WHERE {}",
        target(), assignments, target(), payload, *where);
    return answerMutation(statement, update);
}

HttpResponse TableRequest::remove() {
    if (query_.limit || query_.offset) {
        return restError(400, "PGRST100", "limit and offset are not supported on deletes");
    }
    Statement statement;
    auto where = whereClause(table_, query_.filters, statement);
    if (!where) {
        return std::move(where).error();
    }
    const std::string remove = fmt::format("DELETE FROM {} WHERE {}", target(), *where);
    return answerMutation(statement, remove);
}

// Runs an UPDATE or DELETE (its parameters already bound in `statement`): 204 with the row count
// only, or 200 with the selected columns of the changed rows when the client asked for them.
HttpResponse TableRequest::answerMutation(Statement& statement, const std::string& mutation) {
    if (!representation()) {
        statement.sql = fmt::format("WITH pgrst_mutation AS ({} RETURNING 1) SELECT '[]', "
                                    "count(*), NULL FROM pgrst_mutation",
                                    mutation);
        return mutationResponse(204, run(statement, false, false));
    }
    auto selected = selectList(table_, query_.select, "pgrst_mutation");
    if (!selected) {
        return std::move(selected).error();
    }
    statement.sql = fmt::format("WITH pgrst_mutation AS ({} RETURNING {}.*) {} FROM (SELECT {} "
                                "FROM pgrst_mutation) pgrst_source",
                                mutation, target(), rowsProjection, *selected);
    return mutationResponse(200, run(statement, false, single_));
}

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        out += (out.empty() ? "" : ", ") + name;
    }
    return out;
}

HttpResponse unknownFunction(std::string_view name, std::vector<std::string> arguments) {
    std::sort(arguments.begin(), arguments.end());
    if (arguments.empty()) {
        return restError(
            404, "PGRST202",
            fmt::format("Could not find the function public.{} without parameters in the schema "
                        "cache",
                        name),
            fmt::format("Searched for the function public.{} without parameters or with a single "
                        "unnamed json/jsonb parameter, but no matches were found in the schema "
                        "cache.",
                        name));
    }
    const std::string list = joinNames(arguments);
    return restError(
        404, "PGRST202",
        fmt::format("Could not find the function public.{}({}) in the schema cache", name, list),
        fmt::format("Searched for the function public.{} with parameters {} or with a single "
                    "unnamed json/jsonb parameter, but no matches were found in the schema cache.",
                    name, list));
}

const CatalogFunction* chooseOverload(const std::vector<CatalogFunction>& overloads,
                                      const std::vector<std::string>& given) {
    for (const auto& function : overloads) {
        bool fits = true;
        for (const auto& name : given) {
            const bool known =
                std::any_of(function.arguments.begin(), function.arguments.end(),
                            [&](const CatalogArgument& argument) { return argument.name == name; });
            fits = fits && known;
        }
        for (const auto& argument : function.arguments) {
            const bool present =
                std::find(given.begin(), given.end(), argument.name) != given.end();
            fits = fits && (present || argument.hasDefault);
        }
        if (fits) {
            return &function;
        }
    }
    return nullptr;
}

HttpResponse callFunction(Server& server, const HttpRequest& request, std::string_view name,
                          const Principal& principal) {
    nlohmann::json arguments = nlohmann::json::object();
    const bool readOnly = request.method == "GET" || request.method == "HEAD";
    if (readOnly) {
        static const std::set<std::string> reserved = {"select", "order",   "limit",      "offset",
                                                       "apikey", "columns", "on_conflict"};
        for (const auto& [key, value] : parseQueryString(request.rawQuery)) {
            if (key.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
                return restError(400, "PGRST100", "\"failed to parse query parameter\"",
                                 std::string("unexpected null character"));
            }
            if (reserved.count(key) == 0) {
                arguments[key] = value;
            }
        }
    } else if (request.method == "POST") {
        if (!request.body.empty()) {
            arguments = nlohmann::json::parse(request.body, nullptr, false);
            if (arguments.is_discarded() || !arguments.is_object()) {
                return invalidJson();
            }
        }
    } else {
        return restError(405, "PGRST117", "Unsupported HTTP method: " + request.method);
    }
    std::vector<std::string> given;
    for (const auto& item : arguments.items()) {
        given.push_back(item.key());
    }
    if (server.catalog().functions(name).empty()) {
        (void)server.reloadCatalog();
    }
    const CatalogFunction* function = chooseOverload(server.catalog().functions(name), given);
    if (function == nullptr) {
        return unknownFunction(name, given);
    }

    Statement statement;
    std::string source;
    std::string call = "public." + quoteIdentifier(function->name) + "(";
    std::string definitions;
    bool first = true;
    for (const auto& argument : function->arguments) {
        if (!arguments.contains(argument.name)) {
            continue;
        }
        call += (first ? "" : ", ") + quoteIdentifier(argument.name) + " := pgrst_args." +
                quoteIdentifier(argument.name);
        definitions += (first ? "" : ", ") + quoteIdentifier(argument.name) + " " + argument.type;
        first = false;
    }
    call += ")";
    if (!definitions.empty()) {
        source = fmt::format("json_to_record({}::json) AS pgrst_args({})",
                             statement.bind(arguments.dump(
                                 -1, ' ', false, nlohmann::json::error_handler_t::replace)),
                             definitions);
    }
    const std::string from = source.empty() ? "" : " FROM " + source;
    const std::string lateral = source.empty() ? " FROM " : " FROM " + source + ", LATERAL ";
    switch (function->result) {
    case FunctionResult::none:
        statement.sql = "SELECT NULL, 0, NULL FROM (SELECT " + call + from + ") pgrst_call";
        break;
    case FunctionResult::scalar:
        statement.sql = "SELECT to_json(" + call + ")::text, 1, NULL" + from;
        break;
    case FunctionResult::composite:
        statement.sql =
            "SELECT to_json(pgrst_source)::text, 1, NULL" + lateral + call + " AS pgrst_source";
        break;
    case FunctionResult::setOfComposite:
        statement.sql = std::string(rowsProjection) + lateral + call + " AS pgrst_source";
        break;
    case FunctionResult::setOfScalar:
        statement.sql = "SELECT coalesce(json_agg(pgrst_value), '[]')::text, count(*), "
                        "(array_agg(to_json(pgrst_value)))[1]::text" +
                        lateral + call + " AS pgrst_source(pgrst_value)";
        break;
    }
    auto rows = server.db().asRole(
        principal.role, principal.claims.dump(), [&](Db& db) -> Outcome<DbRows, DbError> {
            if (readOnly) {
                if (auto set = db.exec("SET TRANSACTION READ ONLY"); !set) {
                    return Failure{std::move(set).error()};
                }
            }
            return db.exec(statement.sql, statement.params);
        });
    if (!rows) {
        return dbErrorResponse(rows.error(), principal);
    }
    if (function->result == FunctionResult::none) {
        return HttpResponse::empty(204);
    }
    const RowsAnswer answer = rowsAnswer(std::move(rows).value());
    const bool set = function->result == FunctionResult::setOfComposite ||
                     function->result == FunctionResult::setOfScalar;
    const bool single = set && wantsSingleObject(request);
    if (single && answer.count != 1) {
        return restError(406, notSingleState, "Cannot coerce the result to a single JSON object",
                         fmt::format("The result contains {} rows", answer.count));
    }
    HttpResponse response;
    response.status = 200;
    response.contentType = single ? "application/vnd.pgrst.object+json; charset=utf-8"
                                  : "application/json; charset=utf-8";
    response.body = single ? answer.first : answer.array.empty() ? "null" : answer.array;
    if (!answer.raw.rows.empty() && !answer.raw.rows[0].empty() && !answer.raw.rows[0][0]) {
        response.body = "null";
    }
    if (request.method == "HEAD") {
        response.body.clear();
    }
    return response;
}

} // namespace

HttpResponse restError(int status, std::string_view code, std::string_view message,
                       const std::optional<std::string>& details,
                       const std::optional<std::string>& hint) {
    nlohmann::json body = {{"code", code},
                           {"message", message},
                           {"details", details ? nlohmann::json(*details) : nlohmann::json()},
                           {"hint", hint ? nlohmann::json(*hint) : nlohmann::json()}};
    return HttpResponse::json(status, body);
}

HttpResponse restJwtError(const JwtError& error) {
    const bool claims =
        error.kind == JwtErrorKind::expired || error.kind == JwtErrorKind::notYetValid;
    HttpResponse response = restError(401, claims ? "PGRST303" : "PGRST301", error.message);
    response.withHeader("WWW-Authenticate", "Bearer error=\"invalid_token\", error_description=\"" +
                                                error.message + "\"");
    return response;
}

HttpResponse handleRest(Server& server, const HttpRequest& request, std::string_view subpath,
                        const Principal& principal) {
    if (subpath.empty() || subpath == "/") {
        return HttpResponse::json(200, {{"swagger", "2.0"},
                                        {"info", {{"title", "ostral devstack"}}},
                                        {"paths", nlohmann::json::object()}});
    }
    std::string_view name = subpath.substr(1);
    if (name.substr(0, 4) == "rpc/") {
        name.remove_prefix(4);
        if (name.empty() || name.find('/') != std::string_view::npos) {
            return restError(404, "PGRST125", "Invalid path specified in request URL");
        }
        return callFunction(server, request, name, principal);
    }
    if (name.empty() || name.find('/') != std::string_view::npos) {
        return restError(404, "PGRST125", "Invalid path specified in request URL");
    }
    auto query = parseTableQuery(parseQueryString(request.rawQuery));
    if (!query) {
        return parseErrorResponse(query.error());
    }
    if (server.catalog().table(name) == nullptr) {
        (void)server.reloadCatalog();
    }
    const CatalogTable* table = server.catalog().table(name);
    if (table == nullptr) {
        return restError(
            404, "PGRST205",
            fmt::format("Could not find the table 'public.{}' in the schema cache", name));
    }
    TableRequest tableRequest(server, request, *table, principal, std::move(query).value());
    if (request.method == "GET" || request.method == "HEAD") {
        return tableRequest.read(request.method == "HEAD");
    }
    if (request.method == "POST") {
        return tableRequest.insert();
    }
    if (request.method == "PATCH") {
        return tableRequest.update();
    }
    if (request.method == "DELETE") {
        return tableRequest.remove();
    }
    return restError(405, "PGRST117", "Unsupported HTTP method: " + request.method);
}

} // namespace ostral::devstack
