#pragma once

#include "Catalog.h"
#include "Db.h"
#include "Outcome.h"
#include "RealtimeCatalog.h"
#include "RealtimeChange.h"
#include "RealtimeSession.h"

#include <libsoup/soup.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace ostral::devstack {

class Server;

struct RealtimeOptions {
    int confirmDelayMs = 0;    // before "Subscribed to PostgreSQL" is sent
    int idleTimeoutMs = 60000; // a socket that sends nothing for this long is closed
    int relistenDelayMs = 1000;
};

// The Realtime endpoint: Phoenix channels over a WebSocket at /realtime/v1/websocket, fed by
// the database triggers' notifications on `ostral_realtime`. One dedicated connection listens
// for them; row level security is checked on `db`, the server's statement connection. Runs on
// the thread-default main context of its creation.
class RealtimeServer {
public:
    static Outcome<std::shared_ptr<RealtimeServer>, std::string>
    start(SoupServer* soup, Db& db, const Catalog& catalog, std::string listenConninfo,
          std::string jwtSecret, RealtimeOptions options);
    ~RealtimeServer();
    RealtimeServer(const RealtimeServer&) = delete;
    RealtimeServer& operator=(const RealtimeServer&) = delete;

    std::size_t connectionCount() const { return connections_.size(); }
    // Whether the change feed is listening (false while it reconnects).
    bool listening() const { return listener_ != nullptr; }

    // Hands one notification payload to every socket, as if it came from the database.
    void dispatch(std::string_view payload);

private:
    struct Connection;
    class Timer;

    RealtimeServer(SoupServer* soup, Db& db, const Catalog& catalog, std::string listenConninfo,
                   std::string jwtSecret, RealtimeOptions options);

    static void onHandshake(SoupServer*, SoupServerMessage* message, const char*, GHashTable*,
                            gpointer self);
    static void onSocket(SoupServer*, SoupServerMessage* message, const char*,
                         SoupWebsocketConnection* socket, gpointer self);
    static void onMessage(SoupWebsocketConnection*, gint type, GBytes* bytes, gpointer ref);
    static void onClosed(SoupWebsocketConnection*, gpointer ref);
    static gboolean onListenerReadable(gint, GIOCondition, gpointer self);

    void accept(SoupServerMessage* message, SoupWebsocketConnection* socket);
    void receive(std::uint64_t id, std::string_view text);
    void drop(std::uint64_t id);
    void armIdleTimer(Connection& connection);
    void confirmLater(std::uint64_t id, const std::string& topic, std::uint64_t serial);
    bool rowVisible(const RealtimeClaims& claims, const RealtimeTable& table,
                    const std::vector<std::string>& key);
    void refreshCatalog();

    Outcome<Done, std::string> listen();
    void stopListening();
    void relistenLater();
    void readNotifications();

    SoupServer* soup_;
    Db& db_;
    const Catalog& catalog_;
    RealtimeCatalog tables_;
    std::string listenConninfo_;
    std::string jwtSecret_;
    RealtimeOptions options_;
    GMainContext* context_;

    std::map<std::uint64_t, std::shared_ptr<Connection>> connections_;
    std::uint64_t nextConnection_ = 1;
    std::map<std::uint64_t, std::unique_ptr<Timer>> confirmations_;
    std::uint64_t nextConfirmation_ = 1;

    std::unique_ptr<Db> listener_;
    GSource* listenerWatch_ = nullptr;
    std::unique_ptr<Timer> relisten_;
};

// Mounts the Realtime endpoint on the local backend's server, with its confirmation delay; the
// server keeps it alive.
Outcome<Done, std::string> registerRealtime(Server& server);

} // namespace ostral::devstack
