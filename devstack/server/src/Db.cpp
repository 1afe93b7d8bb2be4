#include "Db.h"

#include <cstdlib>

namespace ostral::devstack {
namespace {

DbError connectionError(PGconn* connection) {
    std::string message = connection != nullptr ? PQerrorMessage(connection) : "out of memory";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return DbError{"08006", message, std::nullopt, std::nullopt};
}

std::optional<std::string> field(const PGresult* result, int code) {
    const char* text = PQresultErrorField(result, code);
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

} // namespace

std::optional<std::size_t> DbRows::column(std::string_view name) const {
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i] == name) {
            return i;
        }
    }
    return std::nullopt;
}

DbValue DbRows::value(std::size_t row, std::string_view name) const {
    const auto index = column(name);
    if (!index || row >= rows.size()) {
        return std::nullopt;
    }
    return rows[row][*index];
}

Db::Db(PGconn* connection, std::string conninfo)
    : connection_(connection)
    , conninfo_(std::move(conninfo)) {}

Db::~Db() {
    PQfinish(connection_);
}

Outcome<std::unique_ptr<Db>, DbError> Db::connect(const std::string& conninfo) {
    PGconn* connection = PQconnectdb(conninfo.c_str());
    if (connection == nullptr || PQstatus(connection) != CONNECTION_OK) {
        DbError error = connectionError(connection);
        PQfinish(connection);
        return Failure{std::move(error)};
    }
    // Values are read back in the forms the REST answers promise (UTC offsets, ISO dates).
    PGresult* setup = PQexec(connection, "SET TIME ZONE 'UTC'; SET DateStyle = 'ISO, MDY'");
    PQclear(setup);
    return std::unique_ptr<Db>(new Db(connection, conninfo));
}

Outcome<DbRows, DbError> Db::exec(const std::string& sql, const DbParams& params) {
    if (PQstatus(connection_) != CONNECTION_OK) {
        PQreset(connection_);
        if (PQstatus(connection_) != CONNECTION_OK) {
            return Failure{connectionError(connection_)};
        }
        PGresult* setup = PQexec(connection_, "SET TIME ZONE 'UTC'; SET DateStyle = 'ISO, MDY'");
        PQclear(setup);
    }
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& param : params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    PGresult* result = PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()),
                                    nullptr, values.data(), nullptr, nullptr, 0);
    if (result == nullptr) {
        return Failure{connectionError(connection_)};
    }
    const auto status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        DbError error{field(result, PG_DIAG_SQLSTATE).value_or("08006"),
                      field(result, PG_DIAG_MESSAGE_PRIMARY).value_or(PQresultErrorMessage(result)),
                      field(result, PG_DIAG_MESSAGE_DETAIL), field(result, PG_DIAG_MESSAGE_HINT)};
        PQclear(result);
        return Failure{std::move(error)};
    }
    DbRows rows;
    const int columnCount = PQnfields(result);
    const int rowCount = PQntuples(result);
    for (int c = 0; c < columnCount; ++c) {
        rows.columns.emplace_back(PQfname(result, c));
    }
    rows.rows.reserve(static_cast<std::size_t>(rowCount));
    for (int r = 0; r < rowCount; ++r) {
        std::vector<DbValue> row;
        row.reserve(static_cast<std::size_t>(columnCount));
        for (int c = 0; c < columnCount; ++c) {
            if (PQgetisnull(result, r, c)) {
                row.emplace_back(std::nullopt);
            } else {
                row.emplace_back(std::string(PQgetvalue(result, r, c),
                                             static_cast<std::size_t>(PQgetlength(result, r, c))));
            }
        }
        rows.rows.push_back(std::move(row));
    }
    const std::string affected = PQcmdTuples(result);
    if (!affected.empty()) {
        rows.affected = std::strtol(affected.c_str(), nullptr, 10);
    }
    PQclear(result);
    return rows;
}

Outcome<Done, DbError> Db::beginAsRole(const std::string& role, const std::string& claimsJson) {
    if (auto begun = exec("BEGIN"); !begun) {
        return Failure{std::move(begun).error()};
    }
    // SET ROLE takes no parameters; the role name is quoted as an identifier instead.
    char* quoted = PQescapeIdentifier(connection_, role.c_str(), role.size());
    if (quoted == nullptr) {
        rollback();
        return Failure{DbError{"22023", "invalid role name", std::nullopt, std::nullopt}};
    }
    const std::string setRole = std::string("SET LOCAL ROLE ") + quoted;
    PQfreemem(quoted);
    if (auto set = exec(setRole); !set) {
        rollback();
        return Failure{std::move(set).error()};
    }
    if (auto claims = exec("SELECT set_config('request.jwt.claims', $1, true), "
                           "set_config('request.jwt.claim.role', $2, true)",
                           {claimsJson, role});
        !claims) {
        rollback();
        return Failure{std::move(claims).error()};
    }
    return Done{};
}

void Db::rollback() {
    PGresult* result = PQexec(connection_, "ROLLBACK");
    PQclear(result);
}

} // namespace ostral::devstack
