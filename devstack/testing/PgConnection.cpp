#include "PgConnection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>

namespace ostral::devstack {

namespace {

struct ClearResult {
    void operator()(PGresult* result) const { PQclear(result); }
};

std::string connectionError(PGconn* connection) {
    const char* message = PQerrorMessage(connection);
    std::string text = message != nullptr ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? std::string("connection failed") : text;
}

} // namespace

void PgConnection::Finish::operator()(pg_conn* connection) const {
    PQfinish(connection);
}

std::optional<std::string> PgResult::value(std::size_t row, std::size_t column) const {
    if (row >= rows.size() || column >= rows[row].size()) {
        return std::nullopt;
    }
    return rows[row][column];
}

PgConnection::PgConnection(const std::string& conninfo)
    : connection_(PQconnectdb(conninfo.c_str())) {
    if (!connection_) {
        error_ = "out of memory";
    } else if (PQstatus(connection_.get()) != CONNECTION_OK) {
        error_ = connectionError(connection_.get());
        connection_.reset();
    }
}

PgConnection::PgConnection(const DevstackEnv& env)
    : PgConnection(env.get("OSTRAL_DEVSTACK_PG")) {}

PgConnection::PgConnection(PgConnection&&) noexcept = default;
PgConnection& PgConnection::operator=(PgConnection&&) noexcept = default;
PgConnection::~PgConnection() = default;

bool PgConnection::isOpen() const {
    return connection_ != nullptr;
}

PgResult PgConnection::exec(std::string_view sql,
                            const std::vector<std::optional<std::string>>& params) {
    PgResult outcome;
    if (!connection_) {
        outcome.error = error_.empty() ? std::string("not connected") : error_;
        return outcome;
    }
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& param : params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    const std::string statement(sql);
    std::unique_ptr<PGresult, ClearResult> result(
        PQexecParams(connection_.get(), statement.c_str(), static_cast<int>(values.size()), nullptr,
                     values.data(), nullptr, nullptr, 0));
    if (!result) {
        outcome.error = connectionError(connection_.get());
        return outcome;
    }
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
        const char* message = PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY);
        outcome.sqlState = state != nullptr ? state : "";
        outcome.error = message != nullptr ? message : PQresStatus(status);
        return outcome;
    }
    const int columnCount = PQnfields(result.get());
    for (int column = 0; column < columnCount; ++column) {
        outcome.columns.emplace_back(PQfname(result.get(), column));
    }
    const int rowCount = PQntuples(result.get());
    for (int row = 0; row < rowCount; ++row) {
        PgRow values_;
        for (int column = 0; column < columnCount; ++column) {
            if (PQgetisnull(result.get(), row, column) != 0) {
                values_.emplace_back(std::nullopt);
            } else {
                values_.emplace_back(
                    std::string(PQgetvalue(result.get(), row, column),
                                static_cast<std::size_t>(PQgetlength(result.get(), row, column))));
            }
        }
        outcome.rows.push_back(std::move(values_));
    }
    return outcome;
}

PgResult PgConnection::actAs(std::string_view role, const std::optional<std::string>& userId) {
    if (role != "anon" && role != "authenticated" && role != "service_role") {
        PgResult refused;
        refused.error = "unknown request role " + std::string(role);
        return refused;
    }
    PgResult claims = exec(
        "SELECT set_config('request.jwt.claims', "
        "jsonb_strip_nulls(jsonb_build_object('role', $1::text, 'sub', $2::text))::text, false)",
        {std::string(role), userId});
    if (!claims.ok()) {
        return claims;
    }
    return exec("SET ROLE " + std::string(role));
}

PgResult PgConnection::resetRole() {
    PgResult reset = exec("RESET ROLE");
    if (!reset.ok()) {
        return reset;
    }
    return exec("RESET request.jwt.claims");
}

std::optional<PgNotification> PgConnection::waitForNotification(std::chrono::milliseconds timeout) {
    if (!connection_) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (PQconsumeInput(connection_.get()) == 0) {
            error_ = connectionError(connection_.get());
            return std::nullopt;
        }
        if (PGnotify* notify = PQnotifies(connection_.get()); notify != nullptr) {
            PgNotification notification{notify->relname != nullptr ? notify->relname : "",
                                        notify->extra != nullptr ? notify->extra : ""};
            PQfreemem(notify);
            return notification;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd descriptor{PQsocket(connection_.get()), POLLIN, 0};
        if (poll(&descriptor, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            return std::nullopt;
        }
    }
}

} // namespace ostral::devstack
