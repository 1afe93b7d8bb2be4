#include "FakeAuthServer.h"

#include <fmt/format.h>
#include <glib.h>

namespace ostral::supabase::testing {

namespace {

std::string base64Url(const std::string& text) {
    support::GCharPtr encoded(
        g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size()));
    std::string result(encoded.view());
    for (char& c : result) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    while (!result.empty() && result.back() == '=') {
        result.pop_back();
    }
    return result;
}

void respond(SoupServerMessage* message, unsigned status, const std::string& body) {
    soup_server_message_set_status(message, status, nullptr);
    if (!body.empty()) {
        soup_server_message_set_response(message, "application/json", SOUP_MEMORY_COPY, body.data(),
                                         body.size());
    }
}

} // namespace

std::string fakeJwt(const nlohmann::json& claims) {
    return base64Url(R"({"alg":"HS256","typ":"JWT"})") + "." + base64Url(claims.dump()) +
           ".c2lnbmF0dXJl";
}

FakeAuthServer::FakeAuthServer(std::function<double()> now)
    : now_(std::move(now))
    , server_(soup_server_new(nullptr, nullptr), support::kAdopt) {
    soup_server_add_handler(server_.get(), nullptr, &FakeAuthServer::handle, this, nullptr);
    support::GErrorPtr error;
    soup_server_listen_local(server_.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY, error.out());
    GSList* uris = soup_server_get_uris(server_.get());
    if (uris != nullptr) {
        url_ = fmt::format("http://127.0.0.1:{}", g_uri_get_port(static_cast<GUri*>(uris->data)));
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
}

FakeAuthServer::~FakeAuthServer() {
    stop();
}

void FakeAuthServer::stop() {
    if (server_) {
        soup_server_disconnect(server_.get());
    }
}

nlohmann::json FakeAuthServer::issueSession(double lifetimeSeconds) {
    const double expiresAt = now_() + lifetimeSeconds;
    const std::string refreshToken = fmt::format("refresh-{}", ++issued_);
    refreshTokens_.insert(refreshToken);
    return {
        {"access_token", fakeJwt({{"sub", userId}, {"exp", expiresAt}, {"n", issued_}})},
        {"token_type", "bearer"},
        {"expires_in", static_cast<std::int64_t>(lifetimeSeconds)},
        {"expires_at", expiresAt},
        {"refresh_token", refreshToken},
        {"user", {{"id", userId}, {"email", email}, {"aud", "authenticated"}}},
    };
}

int FakeAuthServer::count(const std::string& method, const std::string& path) const {
    int n = 0;
    for (const Request& request : requests) {
        n += request.method == method && request.path == path ? 1 : 0;
    }
    return n;
}

void FakeAuthServer::handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                            gpointer self) {
    Request request;
    request.method = soup_server_message_get_method(message);
    request.path = path;
    const char* query = g_uri_get_query(soup_server_message_get_uri(message));
    request.query = query != nullptr ? query : "";
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, soup_server_message_get_request_headers(message));
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&iter, &name, &value)) {
        request.headers[name] = value;
    }
    SoupMessageBody* body = soup_server_message_get_request_body(message);
    if (body != nullptr && body->data != nullptr) {
        request.body.assign(body->data, static_cast<std::size_t>(body->length));
    }
    auto* server = static_cast<FakeAuthServer*>(self);
    server->requests.push_back(request);
    server->answer(message, request);
}

void FakeAuthServer::answer(SoupServerMessage* message, const Request& request) {
    const auto error = [&](unsigned status, const std::string& code, const std::string& text) {
        respond(message, status, nlohmann::json{{"code", code}, {"message", text}}.dump());
    };
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);

    if (request.path == "/auth/v1/token" && request.query == "grant_type=password") {
        if (body.value("email", "") != email || body.value("password", "") != password) {
            error(400, "invalid_credentials", "Invalid login credentials");
            return;
        }
        respond(message, 200, issueSession().dump());
        return;
    }
    if (request.path == "/auth/v1/token" && request.query == "grant_type=refresh_token") {
        if (refreshReply == RefreshReply::serverError) {
            error(500, "unexpected_failure", "Unexpected failure");
            return;
        }
        const std::string token = body.value("refresh_token", "");
        if (refreshReply == RefreshReply::reject || refreshTokens_.erase(token) == 0) {
            error(400,
                  refreshReply == RefreshReply::reject ? rejectCode : "refresh_token_not_found",
                  "Invalid Refresh Token");
            return;
        }
        respond(message, 200, issueSession().dump());
        return;
    }
    if (request.path == "/auth/v1/user" && request.method == "GET") {
        const auto authorization = request.headers.find("Authorization");
        if (authorization == request.headers.end() ||
            authorization->second.rfind("Bearer ey", 0) != 0) {
            error(403, "bad_jwt", "invalid JWT");
            return;
        }
        respond(message, 200,
                nlohmann::json{{"id", userId}, {"email", email}, {"aud", "authenticated"}}.dump());
        return;
    }
    if (request.path == "/auth/v1/logout") {
        respond(message, logoutStatus,
                logoutStatus == 204 ? "" : R"({"code":"session_not_found","message":"gone"})");
        return;
    }
    if (request.path.rfind("/rest/v1/", 0) == 0) {
        respond(message, 200, "[]");
        return;
    }
    error(404, "not_found", "Not found");
}

} // namespace ostral::supabase::testing
