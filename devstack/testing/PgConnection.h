#pragma once

#include "DevstackEnv.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;

namespace ostral::devstack {

using PgRow = std::vector<std::optional<std::string>>; // nullopt is SQL null

// The outcome of one statement: its rows as text, or the error with its SQLSTATE.
struct PgResult {
    std::vector<std::string> columns;
    std::vector<PgRow> rows;
    std::string sqlState; // empty on success
    std::string error;    // the server's message, empty on success

    bool ok() const { return error.empty(); }
    // The value at (row, column), or nullopt when out of range or null.
    std::optional<std::string> value(std::size_t row, std::size_t column) const;
};

struct PgNotification {
    std::string channel;
    std::string payload;
};

// One libpq connection to the local backend's database, as postgres. Tests switch it to a
// request role with actAs, the way the server runs a request.
class PgConnection {
public:
    // Connects at once; check isOpen() and error().
    explicit PgConnection(const std::string& conninfo);
    explicit PgConnection(const DevstackEnv& env);
    PgConnection(PgConnection&&) noexcept;
    PgConnection& operator=(PgConnection&&) noexcept;
    ~PgConnection();

    bool isOpen() const;
    const std::string& error() const { return error_; }

    // Runs one statement with $1, $2, ... bound to `params` (nullopt binds null).
    PgResult exec(std::string_view sql, const std::vector<std::optional<std::string>>& params = {});

    // Runs what follows as `role` ("anon", "authenticated" or "service_role") with claims that
    // carry `userId` as "sub" when given, until resetRole.
    PgResult actAs(std::string_view role, const std::optional<std::string>& userId = std::nullopt);
    PgResult resetRole();

    // The next notification of a channel this connection LISTENs on, waiting up to `timeout`.
    std::optional<PgNotification> waitForNotification(std::chrono::milliseconds timeout);

private:
    struct Finish {
        void operator()(pg_conn* connection) const;
    };
    std::unique_ptr<pg_conn, Finish> connection_;
    std::string error_;
};

} // namespace ostral::devstack
