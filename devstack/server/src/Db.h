#pragma once

#include "Outcome.h"

#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostral::devstack {

// A failed statement or connection. For PostgreSQL errors `sqlState` is the SQLSTATE; a lost or
// refused connection has class "08".
struct DbError {
    std::string sqlState;
    std::string message;
    std::optional<std::string> details;
    std::optional<std::string> hint;
};

using DbValue = std::optional<std::string>; // text form; nullopt is SQL null
using DbParams = std::vector<DbValue>;

struct DbRows {
    std::vector<std::string> columns;
    std::vector<std::vector<DbValue>> rows;
    long affected = 0; // PQcmdTuples of INSERT/UPDATE/DELETE, else 0

    // Index of a column by name, or nullopt.
    std::optional<std::size_t> column(std::string_view name) const;
    // The value at row `row` of column `name` (nullopt when null, absent or out of range).
    DbValue value(std::size_t row, std::string_view name) const;
};

// One synchronous libpq connection. Statements take only text parameters ($1, $2, ...); the
// connection is re-established once when it was found broken.
class Db {
public:
    static Outcome<std::unique_ptr<Db>, DbError> connect(const std::string& conninfo);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    Outcome<DbRows, DbError> exec(const std::string& sql, const DbParams& params = {});

    // Runs `body(*this)` in one transaction as `role` (SET LOCAL ROLE) with the request's claims
    // in `request.jwt.claims`; commits when it succeeds, rolls back when it fails. `body`
    // returns an Outcome<T, DbError>.
    template <typename Body>
    auto asRole(const std::string& role, const std::string& claimsJson, Body&& body)
        -> decltype(body(*this)) {
        if (auto begun = beginAsRole(role, claimsJson); !begun) {
            return Failure{std::move(begun).error()};
        }
        auto result = body(*this);
        if (!result) {
            rollback();
            return result;
        }
        if (auto committed = exec("COMMIT"); !committed) {
            rollback();
            return Failure{std::move(committed).error()};
        }
        return result;
    }

    // Runs `body(*this)` in one transaction as the connecting user; commits when it succeeds,
    // rolls back when it fails.
    template <typename Body>
    auto inTransaction(Body&& body) -> decltype(body(*this)) {
        if (auto begun = exec("BEGIN"); !begun) {
            return Failure{std::move(begun).error()};
        }
        auto result = body(*this);
        if (!result) {
            rollback();
            return result;
        }
        if (auto committed = exec("COMMIT"); !committed) {
            rollback();
            return Failure{std::move(committed).error()};
        }
        return result;
    }

    PGconn* native() const { return connection_; }
    const std::string& conninfo() const { return conninfo_; }

private:
    Db(PGconn* connection, std::string conninfo);
    Outcome<Done, DbError> beginAsRole(const std::string& role, const std::string& claimsJson);
    void rollback();

    PGconn* connection_;
    std::string conninfo_;
};

} // namespace ostral::devstack
