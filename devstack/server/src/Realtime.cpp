#include "Realtime.h"

#include "Jwt.h"
#include "Server.h"

#include <glib-unix.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>

namespace ostral::devstack {
namespace {

constexpr const char* endpointPath = "/realtime/v1/websocket";

void logLine(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::int64_t wallClock() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string quoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

// The handshake's API key (the x-api-key header, else the apikey parameter) and vsn parameter.
struct HandshakeParams {
    std::optional<std::string> apiKey;
    std::optional<std::string> vsn;
};

HandshakeParams handshakeParams(SoupServerMessage* message) {
    HandshakeParams params;
    GUri* uri = soup_server_message_get_uri(message);
    const char* query = uri != nullptr ? g_uri_get_query(uri) : nullptr;
    if (query != nullptr) {
        GHashTable* values = g_uri_parse_params(query, -1, "&", G_URI_PARAMS_NONE, nullptr);
        if (values != nullptr) {
            if (const auto* key = static_cast<const char*>(g_hash_table_lookup(values, "apikey"))) {
                params.apiKey = key;
            }
            if (const auto* vsn = static_cast<const char*>(g_hash_table_lookup(values, "vsn"))) {
                params.vsn = vsn;
            }
            g_hash_table_unref(values);
        }
    }
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
    if (const char* header = soup_message_headers_get_one(headers, "x-api-key")) {
        params.apiKey = header;
    }
    if (params.apiKey && params.apiKey->empty()) {
        params.apiKey.reset();
    }
    return params;
}

void refuse(SoupServerMessage* message, guint status, const std::string& error) {
    const std::string body = nlohmann::json{{"error", error}}.dump();
    soup_server_message_set_status(message, status, nullptr);
    soup_server_message_set_response(message, "application/json", SOUP_MEMORY_COPY, body.data(),
                                     body.size());
}

// The reference a socket's signal handlers carry: the owner and the socket's id, so that a late
// signal finds nothing instead of a freed connection.
struct SocketRef {
    RealtimeServer* server;
    std::uint64_t id;
};

void freeSocketRef(gpointer data, GClosure*) {
    delete static_cast<SocketRef*>(data);
}

} // namespace

// A one-shot main-loop timer that calls `fire` once; destroying it cancels it.
class RealtimeServer::Timer {
public:
    Timer(GMainContext* context, int milliseconds, std::function<void()> fire)
        : fire_(std::move(fire))
        , source_(g_timeout_source_new(static_cast<guint>(milliseconds < 0 ? 0 : milliseconds))) {
        g_source_set_callback(source_, &Timer::trampoline, this, nullptr);
        g_source_attach(source_, context);
    }
    ~Timer() {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    static gboolean trampoline(gpointer self) {
        // `fire` may destroy this timer; it runs from a copy.
        const auto fire = static_cast<Timer*>(self)->fire_;
        fire();
        return G_SOURCE_REMOVE;
    }

    std::function<void()> fire_;
    GSource* source_;
};

struct RealtimeServer::Connection {
    std::uint64_t id = 0;
    SoupWebsocketConnection* socket = nullptr;
    std::unique_ptr<RealtimeSession> session;
    gulong messageHandler = 0;
    gulong closedHandler = 0;
    gint64 lastFrame = 0; // monotonic microseconds
    std::unique_ptr<Timer> idle;

    void disconnectSignals() {
        if (messageHandler != 0) {
            g_signal_handler_disconnect(socket, messageHandler);
            g_signal_handler_disconnect(socket, closedHandler);
            messageHandler = 0;
            closedHandler = 0;
        }
    }

    ~Connection() {
        idle.reset();
        if (socket != nullptr) {
            disconnectSignals();
            if (soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN) {
                soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_GOING_AWAY, nullptr);
            }
            g_object_unref(socket);
        }
    }
};

RealtimeServer::RealtimeServer(SoupServer* soup, Db& db, const Catalog& catalog,
                               std::string listenConninfo, std::string jwtSecret,
                               RealtimeOptions options)
    : soup_(soup)
    , db_(db)
    , catalog_(catalog)
    , listenConninfo_(std::move(listenConninfo))
    , jwtSecret_(std::move(jwtSecret))
    , options_(options)
    , context_(g_main_context_ref_thread_default()) {}

RealtimeServer::~RealtimeServer() {
    soup_server_remove_handler(soup_, endpointPath);
    confirmations_.clear();
    connections_.clear();
    relisten_.reset();
    stopListening();
    g_main_context_unref(context_);
}

Outcome<std::shared_ptr<RealtimeServer>, std::string>
RealtimeServer::start(SoupServer* soup, Db& db, const Catalog& catalog, std::string listenConninfo,
                      std::string jwtSecret, RealtimeOptions options) {
    std::shared_ptr<RealtimeServer> server(new RealtimeServer(
        soup, db, catalog, std::move(listenConninfo), std::move(jwtSecret), options));
    server->refreshCatalog();
    if (auto listening = server->listen(); !listening) {
        return Failure{std::move(listening).error()};
    }
    // The plain handler runs first and refuses a bad handshake; only a request it leaves
    // unanswered is upgraded to a WebSocket.
    soup_server_add_handler(soup, endpointPath, &RealtimeServer::onHandshake, server.get(),
                            nullptr);
    soup_server_add_websocket_handler(soup, endpointPath, nullptr, nullptr,
                                      &RealtimeServer::onSocket, server.get(), nullptr);
    return server;
}

void RealtimeServer::onHandshake(SoupServer*, SoupServerMessage* message, const char*, GHashTable*,
                                 gpointer self) {
    const auto params = handshakeParams(message);
    if (!realtimeVsn(params.vsn)) {
        refuse(message, SOUP_STATUS_BAD_REQUEST, "Unsupported vsn " + params.vsn.value_or(""));
        return;
    }
    if (!params.apiKey) {
        refuse(message, SOUP_STATUS_UNAUTHORIZED, "API key is missing");
        return;
    }
    auto claims = verifyRealtimeToken(*params.apiKey,
                                      static_cast<RealtimeServer*>(self)->jwtSecret_, wallClock());
    if (!claims) {
        switch (claims.error().problem) {
        case RealtimeTokenProblem::expired:
            refuse(message, SOUP_STATUS_UNAUTHORIZED, "Token has expired");
            break;
        case RealtimeTokenProblem::missingClaims:
            refuse(message, SOUP_STATUS_UNAUTHORIZED, claims.error().message);
            break;
        case RealtimeTokenProblem::invalid:
            refuse(message, SOUP_STATUS_UNAUTHORIZED, "API key is invalid");
            break;
        }
    }
}

void RealtimeServer::onSocket(SoupServer*, SoupServerMessage* message, const char*,
                              SoupWebsocketConnection* socket, gpointer self) {
    static_cast<RealtimeServer*>(self)->accept(message, socket);
}

void RealtimeServer::accept(SoupServerMessage* message, SoupWebsocketConnection* socket) {
    const auto params = handshakeParams(message);
    const auto vsn = realtimeVsn(params.vsn);
    auto apiKey = params.apiKey ? verifyRealtimeToken(*params.apiKey, jwtSecret_, wallClock())
                                : Failure{RealtimeTokenError{RealtimeTokenProblem::invalid, ""}};
    if (!vsn || !apiKey) {
        // The handshake handler refused these already; this only guards against a change there.
        soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, nullptr);
        return;
    }
    auto connection = std::make_shared<Connection>();
    connection->id = nextConnection_++;
    connection->socket = SOUP_WEBSOCKET_CONNECTION(g_object_ref(socket));
    const std::uint64_t id = connection->id;
    RealtimeSessionHooks hooks;
    hooks.send = [socket](const std::string& frame) {
        if (soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN) {
            soup_websocket_connection_send_text(socket, frame.c_str());
        }
    };
    hooks.nowUnix = wallClock;
    hooks.joined = [this, id](const std::string& topic, std::uint64_t serial) {
        confirmLater(id, topic, serial);
    };
    hooks.rowVisible = [this](const RealtimeClaims& claims, const RealtimeTable& table,
                              const std::vector<std::string>& key) {
        return rowVisible(claims, table, key);
    };
    hooks.log = logLine;
    connection->session = std::make_unique<RealtimeSession>(*vsn, std::move(apiKey).value(),
                                                            jwtSecret_, tables_, std::move(hooks));
    connection->messageHandler =
        g_signal_connect_data(socket, "message", G_CALLBACK(&RealtimeServer::onMessage),
                              new SocketRef{this, id}, freeSocketRef, GConnectFlags{});
    connection->closedHandler =
        g_signal_connect_data(socket, "closed", G_CALLBACK(&RealtimeServer::onClosed),
                              new SocketRef{this, id}, freeSocketRef, GConnectFlags{});
    connection->lastFrame = g_get_monotonic_time();
    armIdleTimer(*connection);
    connections_[id] = std::move(connection);
    logLine("realtime: socket " + std::to_string(id) + " opened (vsn " +
            (*vsn == RealtimeVsn::v2 ? "2.0.0" : "1.0.0") + ")");
}

void RealtimeServer::onMessage(SoupWebsocketConnection*, gint type, GBytes* bytes, gpointer ref) {
    const auto* socket = static_cast<SocketRef*>(ref);
    if (type != SOUP_WEBSOCKET_DATA_TEXT) {
        logLine("realtime: dropped a binary frame");
        return;
    }
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    socket->server->receive(socket->id, std::string_view(data == nullptr ? "" : data, size));
}

void RealtimeServer::onClosed(SoupWebsocketConnection*, gpointer ref) {
    const auto* socket = static_cast<SocketRef*>(ref);
    socket->server->drop(socket->id);
}

void RealtimeServer::receive(std::uint64_t id, std::string_view text) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    // Held here, so that a socket closing while its frame is handled outlives the handling.
    const std::shared_ptr<Connection> connection = found->second;
    connection->lastFrame = g_get_monotonic_time();
    if (text.find("phx_join") != std::string_view::npos) {
        // A join checks its tables against the catalog as the server has it now.
        refreshCatalog();
    }
    connection->session->receive(text);
}

void RealtimeServer::drop(std::uint64_t id) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    logLine("realtime: socket " + std::to_string(id) + " closed");
    // The socket may be in the middle of emitting "closed"; it is released once that is over.
    found->second->disconnectSignals();
    found->second->idle.reset();
    auto* retired = new std::shared_ptr<Connection>(std::move(found->second));
    connections_.erase(found);
    GSource* idle = g_idle_source_new();
    g_source_set_callback(
        idle, [](gpointer) { return G_SOURCE_REMOVE; }, retired,
        [](gpointer data) { delete static_cast<std::shared_ptr<Connection>*>(data); });
    g_source_attach(idle, context_);
    g_source_unref(idle);
}

// Phoenix closes a socket that has sent nothing for a minute; clients heartbeat well within it.
void RealtimeServer::armIdleTimer(Connection& connection) {
    const gint64 idleMicroseconds = gint64{options_.idleTimeoutMs} * 1000;
    const gint64 quiet = g_get_monotonic_time() - connection.lastFrame;
    const gint64 remaining = idleMicroseconds - quiet;
    if (remaining <= 0) {
        logLine("realtime: closing a socket that sent nothing for " +
                std::to_string(options_.idleTimeoutMs) + " ms");
        connection.idle.reset();
        soup_websocket_connection_close(connection.socket, SOUP_WEBSOCKET_CLOSE_NORMAL,
                                        "heartbeat timeout");
        return;
    }
    const std::uint64_t id = connection.id;
    connection.idle =
        std::make_unique<Timer>(context_, static_cast<int>(remaining / 1000) + 1, [this, id] {
            const auto found = connections_.find(id);
            if (found != connections_.end()) {
                armIdleTimer(*found->second);
            }
        });
}

void RealtimeServer::confirmLater(std::uint64_t id, const std::string& topic,
                                  std::uint64_t serial) {
    if (options_.confirmDelayMs <= 0) {
        if (const auto found = connections_.find(id); found != connections_.end()) {
            found->second->session->confirm(topic, serial);
        }
        return;
    }
    const std::uint64_t key = nextConfirmation_++;
    confirmations_[key] =
        std::make_unique<Timer>(context_, options_.confirmDelayMs, [this, key, id, topic, serial] {
            const auto found = connections_.find(id);
            if (found != connections_.end()) {
                const std::shared_ptr<Connection> connection = found->second;
                connection->session->confirm(topic, serial);
            }
            confirmations_.erase(key);
        });
}

bool RealtimeServer::rowVisible(const RealtimeClaims& claims, const RealtimeTable& table,
                                const std::vector<std::string>& key) {
    std::string sql = "SELECT 1 FROM " + quoteIdentifier(table.schema) + "." +
                      quoteIdentifier(table.name) + " WHERE ";
    DbParams params;
    for (std::size_t i = 0; i < table.primaryKey.size() && i < key.size(); ++i) {
        if (i > 0) {
            sql += " AND ";
        }
        sql += quoteIdentifier(table.primaryKey[i]) + " = $" + std::to_string(i + 1);
        params.emplace_back(key[i]);
    }
    auto rows = db_.asRole(
        claims.role, claims.claims.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
        [&](Db& db) { return db.exec(sql, params); });
    if (!rows) {
        // A role without the SELECT grant (anon on most tables) may simply not read the row.
        if (rows.error().sqlState == "42501") {
            return false;
        }
        logLine("realtime: row level security check on " + table.name +
                " failed: " + rows.error().message);
        return false;
    }
    return !rows->rows.empty();
}

void RealtimeServer::dispatch(std::string_view payload) {
    auto change = parseRealtimeNotification(payload);
    if (!change) {
        logLine("realtime: dropped a notification: " + change.error());
        return;
    }
    std::vector<std::shared_ptr<Connection>> connections;
    connections.reserve(connections_.size());
    for (const auto& [id, connection] : connections_) {
        connections.push_back(connection);
    }
    for (const auto& connection : connections) {
        connection->session->deliver(*change);
    }
}

Outcome<Done, std::string> RealtimeServer::listen() {
    std::string conninfo = listenConninfo_;
    if (conninfo.find("://") == std::string::npos) {
        // Named per process, so that a test can find (and cut) its own server's feed.
        conninfo += " application_name=ostral-realtime-listen-" + std::to_string(::getpid());
    }
    auto db = Db::connect(conninfo);
    if (!db) {
        return Failure{"cannot connect the change feed: " + db.error().message};
    }
    if (auto listened = (*db)->exec("LISTEN ostral_realtime"); !listened) {
        return Failure{"cannot listen for changes: " + listened.error().message};
    }
    listener_ = std::move(db).value();
    listenerWatch_ = g_unix_fd_source_new(PQsocket(listener_->native()),
                                          GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_callback(listenerWatch_, G_SOURCE_FUNC(&RealtimeServer::onListenerReadable), this,
                          nullptr);
    g_source_attach(listenerWatch_, context_);
    readNotifications();
    return Done{};
}

void RealtimeServer::stopListening() {
    if (listenerWatch_ != nullptr) {
        g_source_destroy(listenerWatch_);
        g_source_unref(listenerWatch_);
        listenerWatch_ = nullptr;
    }
    listener_.reset();
}

void RealtimeServer::relistenLater() {
    relisten_ = std::make_unique<Timer>(context_, options_.relistenDelayMs, [this] {
        if (auto listening = listen(); !listening) {
            logLine("realtime: " + listening.error() + "; trying again");
            stopListening();
            relistenLater();
            return;
        }
        logLine("realtime: the change feed listens again");
        relisten_.reset();
    });
}

gboolean RealtimeServer::onListenerReadable(gint, GIOCondition, gpointer self) {
    static_cast<RealtimeServer*>(self)->readNotifications();
    return G_SOURCE_CONTINUE;
}

void RealtimeServer::readNotifications() {
    if (!listener_) {
        return;
    }
    PGconn* connection = listener_->native();
    if (PQconsumeInput(connection) == 0 || PQstatus(connection) != CONNECTION_OK) {
        logLine(std::string("realtime: the change feed connection was lost: ") +
                PQerrorMessage(connection));
        stopListening();
        relistenLater();
        return;
    }
    while (PGnotify* notification = PQnotifies(connection)) {
        const std::string payload = notification->extra != nullptr ? notification->extra : "";
        PQfreemem(notification);
        dispatch(payload);
    }
}

void RealtimeServer::refreshCatalog() {
    tables_.tables.clear();
    for (const auto& [name, table] : catalog_.tables()) {
        RealtimeTable entry;
        entry.schema = "public";
        entry.name = name;
        for (const auto& column : table.columns) {
            entry.columns.push_back({column.name, column.udtName});
        }
        entry.primaryKey = table.primaryKey;
        tables_.tables.push_back(std::move(entry));
    }
}

Outcome<Done, std::string> registerRealtime(Server& server) {
    RealtimeOptions options;
    options.confirmDelayMs = server.options().confirmDelayMs;
    auto realtime =
        RealtimeServer::start(server.soup(), server.db(), server.catalog(),
                              server.options().pgConninfo, server.options().jwtSecret, options);
    if (!realtime) {
        return Failure{std::move(realtime).error()};
    }
    server.keepAlive(std::move(realtime).value());
    return Done{};
}

} // namespace ostral::devstack
