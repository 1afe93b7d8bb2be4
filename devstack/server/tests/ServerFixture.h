#pragma once

#include "Db.h"

#include <DevstackEnv.h>
#include <gio/gio.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace ostral::devstack::testing {

struct HttpResult {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case

    nlohmann::json json() const;
    std::string header(const std::string& lowerName) const;
};

using Headers = std::vector<std::pair<std::string, std::string>>;

// One HTTP exchange through libsoup (the URL is sent as given).
HttpResult httpRequest(const std::string& method, const std::string& url, const Headers& headers,
                       const std::string& body = {});

// Writes `bytes` to 127.0.0.1:`port` and reads until the server closes the connection or
// `timeoutMs` pass; the raw answer.
std::string rawExchange(int port, const std::string& bytes, int timeoutMs = 5000);

// Our own server process on the fixture's database, a free port and a private storage folder.
class ServerProcess {
public:
    static std::unique_ptr<ServerProcess> start(const DevstackEnv& env,
                                                const std::vector<std::string>& extra = {});
    ~ServerProcess();

    const std::string& url() const { return url_; }
    int port() const { return port_; }
    const std::string& storageDir() const { return storageDir_; }
    // SIGTERM, then waits; the exit status (or -1 when it had to be killed).
    int stop();

private:
    GSubprocess* process_ = nullptr;
    std::string url_;
    int port_ = 0;
    std::string workDir_;
    std::string storageDir_;
};

// A running local backend for a test: the environment, a second connection to its database,
// our own server, and names unique to this test process for the rows and tables it makes.
class ServerTest {
public:
    // nullopt (with a message on stderr) when the fixture's environment is missing.
    static std::unique_ptr<ServerTest> create(const std::vector<std::string>& extra = {});
    ~ServerTest();

    DevstackEnv env;
    std::unique_ptr<Db> db;
    std::unique_ptr<ServerProcess> server;
    std::string suffix; // unique to this process, safe in identifiers and emails

    std::string anonKey() const { return env.get("OSTRAL_DEVSTACK_ANON_KEY"); }
    std::string serviceKey() const { return env.get("OSTRAL_DEVSTACK_SERVICE_KEY"); }
    std::string secret() const { return env.get("OSTRAL_DEVSTACK_JWT_SECRET"); }

    // Runs SQL as postgres; fails the test on error.
    DbRows sql(const std::string& text, const DbParams& params = {});
    // Schedules SQL to run when the test ends (drops, deletes), last scheduled first.
    void atEnd(std::string text);

    // A user with this password; returns its id. Removed at the end.
    std::string makeUser(const std::string& email, const std::string& password);

    // Requests against our server with the anon key (and `bearer` when given).
    HttpResult call(const std::string& method, const std::string& pathAndQuery,
                    const std::optional<std::string>& bearer = std::nullopt,
                    const std::string& body = {}, const Headers& extra = {});

private:
    std::vector<std::string> cleanup_;
};

} // namespace ostral::devstack::testing
