#include "Server.h"

#include "Endpoints.h"
#include "RestQuery.h"

// The realtime endpoint is built in once its sources are present.
#if __has_include("Realtime.h") && __has_include("Realtime.cpp")
#include "Realtime.h"
#define OSTRAL_DEVSTACK_HAS_REALTIME 1
#endif

#include <fmt/format.h>

#include <cctype>
#include <cstdio>
#include <fstream>

namespace ostral::devstack {
namespace {

constexpr std::size_t maxBodyBytes = std::size_t{1024} * 1024;

const char* const corsAllowHeaders =
    "authorization, x-client-info, apikey, content-type, accept, accept-profile, "
    "content-profile, prefer, range, x-supabase-api-version, x-upsert, cache-control";
const char* const corsExposeHeaders =
    "Content-Range, Content-Location, X-Supabase-Api-Version, x-sb-error-code, Location";

std::string lowerCase(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The part of `path` after `prefix` when the path is the prefix or continues with '/'.
std::optional<std::string_view> under(std::string_view path, std::string_view prefix) {
    if (!startsWith(path, prefix)) {
        return std::nullopt;
    }
    const auto rest = path.substr(prefix.size());
    if (!rest.empty() && rest.front() != '/') {
        return std::nullopt;
    }
    return rest;
}

void addCors(HttpResponse& response) {
    response.withHeader("Access-Control-Allow-Origin", "*")
        .withHeader("Access-Control-Expose-Headers", corsExposeHeaders);
}

HttpResponse gatewayError(int status, std::string_view message) {
    return HttpResponse::json(status, {{"message", message}});
}

void collectHeader(const char* name, const char* value, gpointer data) {
    static_cast<HttpRequest*>(data)->headers.emplace_back(lowerCase(name), value);
}

void applyResponse(SoupServerMessage* message, const HttpResponse& response) {
    soup_server_message_set_status(message, static_cast<guint>(response.status), nullptr);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    for (const auto& [name, value] : response.headers) {
        soup_message_headers_append(headers, name.c_str(), value.c_str());
    }
    if (!response.contentType.empty()) {
        soup_server_message_set_response(message, response.contentType.c_str(), SOUP_MEMORY_COPY,
                                         response.body.data(), response.body.size());
    }
}

void onEarly(SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer) {
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
    const goffset length = soup_message_headers_get_content_length(headers);
    if (length > static_cast<goffset>(maxBodyBytes)) {
        HttpResponse response = gatewayError(413, "Request Entity Too Large");
        addCors(response);
        applyResponse(message, response);
        soup_message_headers_replace(soup_server_message_get_response_headers(message),
                                     "Connection", "close");
    }
}

void onRequest(SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer data) {
    auto* server = static_cast<Server*>(data);
    GUri* uri = soup_server_message_get_uri(message);
    HttpRequest request;
    request.method = soup_server_message_get_method(message);
    char* path = g_uri_unescape_string(g_uri_get_path(uri), nullptr);
    if (path == nullptr) {
        HttpResponse response = gatewayError(400, "Bad Request");
        addCors(response);
        applyResponse(message, response);
        return;
    }
    request.path = path;
    g_free(path);
    if (const char* query = g_uri_get_query(uri)) {
        request.rawQuery = query;
    }
    soup_message_headers_foreach(soup_server_message_get_request_headers(message), collectHeader,
                                 &request);
    SoupMessageBody* body = soup_server_message_get_request_body(message);
    if (body != nullptr && body->length > 0) {
        if (static_cast<std::size_t>(body->length) > maxBodyBytes) {
            HttpResponse response = gatewayError(413, "Request Entity Too Large");
            addCors(response);
            applyResponse(message, response);
            return;
        }
        request.body.assign(body->data, static_cast<std::size_t>(body->length));
    }
    applyResponse(message, server->handle(request));
}

void onFinished(SoupServer*, SoupServerMessage* message, gpointer) {
    GUri* uri = soup_server_message_get_uri(message);
    const char* query = uri != nullptr ? g_uri_get_query(uri) : nullptr;
    // Access tokens in query strings (signed links) stay out of the log.
    std::string shownQuery = query != nullptr ? std::string(query) : std::string();
    if (const auto token = shownQuery.find("token="); token != std::string::npos) {
        const auto end = shownQuery.find('&', token);
        shownQuery.replace(token + 6,
                           end == std::string::npos ? std::string::npos : end - token - 6, "...");
    }
    std::fprintf(stderr, "%s %s%s%s %u\n", soup_server_message_get_method(message),
                 uri != nullptr ? g_uri_get_path(uri) : "?", shownQuery.empty() ? "" : "?",
                 shownQuery.c_str(), soup_server_message_get_status(message));
    std::fflush(stderr);
}

} // namespace

Server::Server(ServerOptions options)
    : options_(std::move(options))
    , anonKey_(Jwt::anonKey(options_.jwtSecret))
    , serviceKey_(Jwt::serviceKey(options_.jwtSecret)) {}

Server::~Server() {
    services_.clear();
    if (soup_ != nullptr) {
        soup_server_disconnect(soup_);
        g_object_unref(soup_);
    }
}

Outcome<std::unique_ptr<Server>, std::string> Server::start(ServerOptions options) {
    if (options.jwtSecret.empty()) {
        return Failure{std::string("a JWT secret is required")};
    }
    std::unique_ptr<Server> server(new Server(std::move(options)));
    auto db = Db::connect(server->options_.pgConninfo);
    if (!db) {
        return Failure{"cannot connect to the database: " + db.error().message};
    }
    server->db_ = std::move(db).value();
    if (auto loaded = server->reloadCatalog(); !loaded) {
        return Failure{"cannot read the catalog: " + loaded.error().message};
    }

    server->soup_ = soup_server_new("server-header", "ostral-devstack", nullptr);
    soup_server_add_early_handler(server->soup_, nullptr, onEarly, server.get(), nullptr);
    soup_server_add_handler(server->soup_, nullptr, onRequest, server.get(), nullptr);
    g_signal_connect(server->soup_, "request-finished", G_CALLBACK(onFinished), nullptr);

#ifdef OSTRAL_DEVSTACK_HAS_REALTIME
    // The realtime endpoint (/realtime/v1/websocket) registers its WebSocket handler on soup()
    // and keeps its state alive through keepAlive().
    if (auto registered = registerRealtime(*server); !registered) {
        return Failure{"cannot start realtime: " + registered.error()};
    }
#endif

    GError* error = nullptr;
    const int port = server->options_.port;
    if (port < 0 || port > 65535) {
        return Failure{fmt::format("bad port {}", port)};
    }
    if (!soup_server_listen_local(server->soup_, static_cast<guint>(port),
                                  SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
        std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        return Failure{"cannot listen: " + message};
    }
    GSList* uris = soup_server_get_uris(server->soup_);
    if (uris != nullptr) {
        server->port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    if (!server->options_.portFile.empty()) {
        // Written whole under a temporary name, so a reader never sees a partial number.
        const std::string temporary = server->options_.portFile + ".tmp";
        {
            std::ofstream file(temporary, std::ios::trunc);
            file << server->port_ << '\n';
            if (!file) {
                return Failure{"cannot write the port file " + temporary};
            }
        }
        if (std::rename(temporary.c_str(), server->options_.portFile.c_str()) != 0) {
            return Failure{"cannot write the port file " + server->options_.portFile};
        }
    }
    return server;
}

Outcome<Done, DbError> Server::reloadCatalog() {
    auto catalog = Catalog::load(*db_);
    if (!catalog) {
        return Failure{std::move(catalog).error()};
    }
    catalog_ = std::move(catalog).value();
    return Done{};
}

std::string Server::issuer() const {
    return fmt::format("http://127.0.0.1:{}/auth/v1", port_);
}

bool Server::isApiKey(std::string_view key) const {
    return key == anonKey_ || key == serviceKey_;
}

Outcome<nlohmann::json, JwtError> Server::verifyToken(std::string_view token) const {
    return Jwt::verify(token, options_.jwtSecret);
}

Outcome<Principal, JwtError> Server::principalFor(const HttpRequest& request,
                                                  std::string_view apiKey) const {
    std::string token(apiKey);
    if (const auto authorization = request.header("authorization")) {
        // "Bearer" is matched without regard to case, as the gateway does.
        if (authorization->size() > 7 && lowerCase(authorization->substr(0, 7)) == "bearer ") {
            token = authorization->substr(7);
        } else {
            return Failure{JwtError{JwtErrorKind::malformed, "Expected 3 parts in JWT; got 1"}};
        }
    }
    auto claims = verifyToken(token);
    if (!claims) {
        return Failure{std::move(claims).error()};
    }
    const auto role = claims->find("role");
    Principal principal;
    principal.role = role != claims->end() && role->is_string() ? role->get<std::string>() : "anon";
    principal.claims = std::move(claims).value();
    return principal;
}

void Server::keepAlive(std::shared_ptr<void> service) {
    services_.push_back(std::move(service));
}

HttpResponse Server::handle(const HttpRequest& request) {
    HttpResponse response;
    if (request.method == "OPTIONS") {
        response = HttpResponse::empty(200);
        response
            .withHeader("Access-Control-Allow-Methods",
                        "GET, HEAD, POST, PUT, PATCH, DELETE, OPTIONS")
            .withHeader("Access-Control-Allow-Headers",
                        request.header("access-control-request-headers").value_or(corsAllowHeaders))
            .withHeader("Access-Control-Max-Age", "3600");
        addCors(response);
        return response;
    }
    const auto query = parseQueryString(request.rawQuery);
    std::optional<std::string> apiKey = request.header("apikey");
    if (!apiKey) {
        for (const auto& [name, value] : query) {
            if (name == "apikey") {
                apiKey = value;
                break;
            }
        }
    }
    const std::string_view path = request.path;
    // Signed storage links are opened by browsers and viewers that send no key; the token in the
    // link is their credential.
    const bool signedDownload = (request.method == "GET" || request.method == "HEAD") &&
                                startsWith(path, "/storage/v1/object/sign/");
    if (!signedDownload && !apiKey) {
        response = gatewayError(401, "No API key found in request");
    } else if (!signedDownload && !isApiKey(*apiKey)) {
        response = gatewayError(401, "Invalid API key");
    } else if (const auto auth = under(path, "/auth/v1")) {
        response = handleAuth(*this, request, *auth);
    } else if (const auto rest = under(path, "/rest/v1")) {
        auto principal = principalFor(request, *apiKey);
        response = principal ? handleRest(*this, request, *rest, *principal)
                             : restJwtError(principal.error());
    } else if (const auto storage = under(path, "/storage/v1")) {
        response = handleStorage(*this, request, *storage, apiKey);
    } else {
        response = gatewayError(404, "no Route matched with those values");
    }
    addCors(response);
    return response;
}

} // namespace ostral::devstack
