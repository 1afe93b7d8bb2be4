#pragma once

#include <Supabase/RealtimeFrame.h>
#include <Support/GObjectPtr.h>
#include <Support/MainContext.h>

#include <gtest/gtest.h>
#include <libsoup/soup.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ostral::supabase::testing {

// A Phoenix server on 127.0.0.1 for the Realtime tests: it records every frame clients send,
// answers heartbeats (unless told not to), and sends whatever the test tells it to.
class FakePhoenixServer {
public:
    struct Connection {
        support::GObjectPtr<SoupWebsocketConnection> socket;
        std::string query;
        std::string apiKeyHeader;
        bool closed = false;
    };
    struct Received {
        std::size_t connection = 0;
        PhoenixMessage message;
    };

    FakePhoenixServer() {
        server_ = support::adoptGObject(
            static_cast<SoupServer*>(g_object_new(SOUP_TYPE_SERVER, nullptr)));
        g_signal_connect(server_.get(), "request-read", G_CALLBACK(&FakePhoenixServer::onRequest),
                         this);
        soup_server_add_websocket_handler(server_.get(), "/realtime/v1/websocket", nullptr, nullptr,
                                          &FakePhoenixServer::onWebsocket, this, nullptr);
        support::GErrorPtr error;
        if (!soup_server_listen_local(server_.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY,
                                      error.out())) {
            ADD_FAILURE() << "the fake Phoenix server cannot listen: "
                          << support::errorMessage(error);
            return;
        }
        GSList* uris = soup_server_get_uris(server_.get());
        port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    }
    ~FakePhoenixServer() {
        for (auto& connection : connections) {
            g_signal_handlers_disconnect_by_data(connection->socket.get(), this);
        }
        soup_server_disconnect(server_.get());
    }
    FakePhoenixServer(const FakePhoenixServer&) = delete;
    FakePhoenixServer& operator=(const FakePhoenixServer&) = delete;

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Sends to the newest connection.
    void send(const PhoenixMessage& message) { sendText(encodePhoenixFrame(message)); }
    void sendText(const std::string& text) {
        if (auto* connection = current()) {
            soup_websocket_connection_send_text(connection->socket.get(), text.c_str());
        }
    }
    void closeCurrent(gushort code) {
        if (auto* connection = current()) {
            soup_websocket_connection_close(connection->socket.get(), code, nullptr);
        }
    }
    Connection* current() {
        return connections.empty() || connections.back()->closed ? nullptr
                                                                 : connections.back().get();
    }
    std::size_t openConnections() const {
        std::size_t count = 0;
        for (const auto& connection : connections) {
            count += connection->closed ? 0 : 1;
        }
        return count;
    }

    // Waits until a client frame with `event` on `topic` (any topic when empty) arrives that an
    // earlier call has not returned yet.
    std::optional<PhoenixMessage> next(const std::string& event, const std::string& topic = {},
                                       std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::optional<PhoenixMessage> found;
        support::iterateUntil(
            [&] {
                for (std::size_t i = 0; i < received.size(); ++i) {
                    const PhoenixMessage& message = received[i].message;
                    if (message.event == event && (topic.empty() || message.topic == topic) &&
                        taken_.insert(i).second) {
                        found = message;
                        return true;
                    }
                }
                return false;
            },
            limit);
        return found;
    }
    std::size_t count(const std::string& event) const {
        std::size_t n = 0;
        for (const auto& item : received) {
            n += item.message.event == event ? 1 : 0;
        }
        return n;
    }

    // The ok reply to a join: each listener of the join gets the id 100 + its position.
    void replyJoinOk(const PhoenixMessage& join) {
        nlohmann::json entries = nlohmann::json::array();
        const auto& requested = join.payload["config"]["postgres_changes"];
        for (std::size_t i = 0; i < requested.size(); ++i) {
            nlohmann::json entry = requested[i];
            entry["id"] = 100 + i;
            entries.push_back(entry);
        }
        reply(join, {{"status", "ok"}, {"response", {{"postgres_changes", entries}}}});
    }
    void replyJoinError(const PhoenixMessage& join, const std::string& reason) {
        reply(join, {{"status", "error"}, {"response", {{"reason", reason}}}});
    }
    void reply(const PhoenixMessage& request, nlohmann::json payload) {
        send({request.joinRef, request.ref, request.topic, "phx_reply", std::move(payload)});
    }
    void confirm(const std::string& topic) {
        send({std::nullopt,
              std::nullopt,
              topic,
              "system",
              {{"extension", "postgres_changes"},
               {"status", "ok"},
               {"message", "Subscribed to PostgreSQL"},
               {"channel", topic.substr(topic.find(':') + 1)}}});
    }

    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<Received> received;
    bool answerHeartbeats = true;
    // While set, WebSocket handshakes are refused with 503.
    bool refuseHandshakes = false;
    int handshakes = 0;

private:
    static void onRequest(SoupServer*, SoupServerMessage* message, gpointer data) {
        auto* self = static_cast<FakePhoenixServer*>(data);
        if (std::string_view(g_uri_get_path(soup_server_message_get_uri(message))) !=
            "/realtime/v1/websocket") {
            return;
        }
        ++self->handshakes;
        if (self->refuseHandshakes) {
            soup_server_message_set_status(message, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
        }
    }
    static void onWebsocket(SoupServer*, SoupServerMessage* message, const char*,
                            SoupWebsocketConnection* socket, gpointer data) {
        auto* self = static_cast<FakePhoenixServer*>(data);
        auto connection = std::make_unique<Connection>();
        connection->socket = support::retainGObject(socket);
        const char* query = g_uri_get_query(soup_server_message_get_uri(message));
        connection->query = query ? query : "";
        const char* key = soup_message_headers_get_one(
            soup_server_message_get_request_headers(message), "apikey");
        connection->apiKeyHeader = key ? key : "";
        g_signal_connect(socket, "message", G_CALLBACK(&FakePhoenixServer::onMessage), self);
        g_signal_connect(socket, "closed", G_CALLBACK(&FakePhoenixServer::onClosed), self);
        self->connections.push_back(std::move(connection));
    }
    std::size_t indexOf(SoupWebsocketConnection* socket) const {
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (connections[i]->socket.get() == socket) {
                return i;
            }
        }
        return connections.size();
    }
    static void onMessage(SoupWebsocketConnection* socket, gint, GBytes* bytes, gpointer data) {
        auto* self = static_cast<FakePhoenixServer*>(data);
        gsize size = 0;
        const auto* text = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        auto decoded = decodePhoenixFrame(std::string_view(text, size));
        if (!std::holds_alternative<PhoenixMessage>(decoded)) {
            return;
        }
        PhoenixMessage message = std::get<PhoenixMessage>(decoded);
        if (message.topic == "phoenix" && message.event == "heartbeat") {
            if (self->answerHeartbeats) {
                const std::string reply = encodePhoenixFrame(
                    {std::nullopt,
                     message.ref,
                     "phoenix",
                     "phx_reply",
                     {{"status", "ok"}, {"response", nlohmann::json::object()}}});
                soup_websocket_connection_send_text(socket, reply.c_str());
            }
        }
        self->received.push_back({self->indexOf(socket), std::move(message)});
    }
    static void onClosed(SoupWebsocketConnection* socket, gpointer data) {
        auto* self = static_cast<FakePhoenixServer*>(data);
        const std::size_t index = self->indexOf(socket);
        if (index < self->connections.size()) {
            self->connections[index]->closed = true;
        }
    }

    support::GObjectPtr<SoupServer> server_;
    unsigned port_ = 0;
    std::set<std::size_t> taken_;
};

} // namespace ostral::supabase::testing
