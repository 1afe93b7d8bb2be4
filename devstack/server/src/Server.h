#pragma once

#include "Catalog.h"
#include "Db.h"
#include "Http.h"
#include "Jwt.h"
#include "Outcome.h"

#include <libsoup/soup.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace ostral::devstack {

// The command line of ostral-devstack-server, see main.cpp.
struct ServerOptions {
    std::string pgConninfo;
    int port = 0;         // 0: any free port
    std::string portFile; // when set, the chosen port is written there once listening
    std::string jwtSecret;
    std::string storageDir;
    int confirmDelayMs = 0;      // delays the realtime subscription confirmation
    int jwtExpirySeconds = 3600; // lifetime of issued access tokens
};

// Whom a request acts for: the database role and the claims of its token.
struct Principal {
    std::string role;
    nlohmann::json claims = nlohmann::json::object();
};

// The local backend's HTTP server on 127.0.0.1: auth (/auth/v1), REST (/rest/v1), storage
// (/storage/v1) and, when built in, realtime (/realtime/v1). It runs on the thread-default
// GLib main context; requests are answered synchronously against one database connection.
class Server {
public:
    static Outcome<std::unique_ptr<Server>, std::string> start(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }
    const ServerOptions& options() const { return options_; }
    SoupServer* soup() const { return soup_; }
    Db& db() { return *db_; }
    const Catalog& catalog() const { return catalog_; }
    // Reads the catalog again (after a schema change).
    Outcome<Done, DbError> reloadCatalog();

    // "http://127.0.0.1:<port>/auth/v1", the issuer of access tokens.
    std::string issuer() const;
    const std::string& anonKey() const { return anonKey_; }
    const std::string& serviceKey() const { return serviceKey_; }
    bool isApiKey(std::string_view key) const;
    Outcome<nlohmann::json, JwtError> verifyToken(std::string_view token) const;

    // The principal of a request: the claims of its bearer token, or of the API key when it
    // sends none.
    Outcome<Principal, JwtError> principalFor(const HttpRequest& request,
                                              std::string_view apiKey) const;

    // Answers one request (every endpoint but the realtime WebSocket).
    HttpResponse handle(const HttpRequest& request);

    // Keeps `service` alive as long as the server; services are released first when the server
    // ends, while the database and the HTTP server still exist.
    void keepAlive(std::shared_ptr<void> service);

private:
    explicit Server(ServerOptions options);

    ServerOptions options_;
    std::string anonKey_;
    std::string serviceKey_;
    std::unique_ptr<Db> db_;
    Catalog catalog_;
    SoupServer* soup_ = nullptr;
    int port_ = 0;
    std::vector<std::shared_ptr<void>> services_;
};

} // namespace ostral::devstack
