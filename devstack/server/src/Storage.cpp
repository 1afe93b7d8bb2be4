#include "Endpoints.h"
#include "RestQuery.h"

#include <fmt/format.h>
#include <gio/gio.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace ostral::devstack {
namespace {

constexpr std::size_t maxServedBytes = std::size_t{64} * 1024 * 1024;

HttpResponse storageError(int status, std::string_view error, std::string_view message) {
    return HttpResponse::json(
        status, {{"statusCode", std::to_string(status)}, {"error", error}, {"message", message}});
}

// "<bucket>/<path>" when it is UTF-8 and every segment is a plain name: no empty, "." or ".."
// segment, no backslash or NUL, not absolute.
std::optional<std::string> objectKey(std::string_view text) {
    // The key goes into a token's JSON claims, which must be UTF-8.
    if (text.empty() || text.front() == '/' ||
        !g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        return std::nullopt;
    }
    std::size_t start = 0;
    std::size_t segments = 0;
    while (start <= text.size()) {
        auto end = text.find('/', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const auto segment = text.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == ".." ||
            segment.find('\\') != std::string_view::npos ||
            segment.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        ++segments;
        start = end + 1;
    }
    if (segments < 2) {
        return std::nullopt;
    }
    return std::string(text);
}

// The file of `key` under the storage folder, resolved through links and still inside it.
std::optional<std::string> objectFile(const Server& server, const std::string& key) {
    if (server.options().storageDir.empty()) {
        return std::nullopt;
    }
    char rootBuffer[PATH_MAX];
    char fileBuffer[PATH_MAX];
    if (realpath(server.options().storageDir.c_str(), rootBuffer) == nullptr) {
        return std::nullopt;
    }
    const std::string root = rootBuffer;
    const std::string joined = root + "/" + key;
    if (realpath(joined.c_str(), fileBuffer) == nullptr) {
        return std::nullopt;
    }
    const std::string file = fileBuffer;
    if (file.compare(0, root.size() + 1, root + "/") != 0 ||
        !g_file_test(file.c_str(), G_FILE_TEST_IS_REGULAR)) {
        return std::nullopt;
    }
    return file;
}

std::string contentTypeOf(const std::string& file, const std::string& data) {
    gboolean uncertain = FALSE;
    gchar* guessed =
        g_content_type_guess(file.c_str(), reinterpret_cast<const guchar*>(data.data()),
                             std::min<std::size_t>(data.size(), 4096), &uncertain);
    gchar* mime = guessed != nullptr ? g_content_type_get_mime_type(guessed) : nullptr;
    std::string type = mime != nullptr ? mime : "application/octet-stream";
    g_free(mime);
    g_free(guessed);
    return type;
}

HttpResponse createSignedUrl(Server& server, const HttpRequest& request, const std::string& key,
                             const std::optional<std::string>& apiKey) {
    auto principal = server.principalFor(request, apiKey.value_or(""));
    if (!principal) {
        return storageError(400, "InvalidJWT", principal.error().message);
    }
    if (principal->role != "authenticated" && principal->role != "service_role") {
        return storageError(403, "Unauthorized", "new row violates row-level security policy");
    }
    const auto body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return storageError(400, "InvalidRequest", "Body is not valid JSON");
    }
    const auto expiresIn = body.find("expiresIn");
    if (expiresIn == body.end() || !expiresIn->is_number()) {
        return storageError(400, "InvalidRequest", "body must have required property 'expiresIn'");
    }
    const double seconds = expiresIn->get<double>();
    if (!(seconds >= 1) || seconds > 60.0 * 60 * 24 * 365 * 100) {
        return storageError(400, "InvalidRequest", "body/expiresIn must be >= 1");
    }
    if (!objectFile(server, key)) {
        return storageError(404, "not_found", "Object not found");
    }
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    const nlohmann::json claims = {
        {"url", key}, {"iat", now}, {"exp", now + static_cast<std::int64_t>(seconds)}};
    const std::string token = Jwt::sign(claims, server.options().jwtSecret);
    return HttpResponse::json(200, {{"signedURL", "/object/sign/" + key + "?token=" + token}});
}

HttpResponse serveSigned(Server& server, const HttpRequest& request, const std::string& key) {
    std::optional<std::string> token;
    for (const auto& [name, value] : parseQueryString(request.rawQuery)) {
        if (name == "token") {
            token = value;
        }
    }
    if (!token) {
        return storageError(400, "InvalidRequest",
                            "querystring must have required property 'token'");
    }
    auto claims = server.verifyToken(*token);
    if (!claims) {
        return storageError(400, "InvalidJWT",
                            claims.error().kind == JwtErrorKind::expired ? "jwt expired"
                                                                         : claims.error().message);
    }
    const auto url = claims->find("url");
    if (url == claims->end() || !url->is_string() || url->get<std::string>() != key) {
        return storageError(400, "InvalidSignature", "The url do not match the signature");
    }
    const auto file = objectFile(server, key);
    if (!file) {
        return storageError(404, "not_found", "Object not found");
    }
    std::ifstream stream(*file, std::ios::binary);
    std::ostringstream data;
    data << stream.rdbuf();
    if (!stream && !stream.eof()) {
        return storageError(500, "InternalError", "The object could not be read");
    }
    std::string bytes = data.str();
    if (bytes.size() > maxServedBytes) {
        return storageError(413, "EntityTooLarge", "The object exceeded the maximum allowed size");
    }
    HttpResponse response;
    response.status = 200;
    response.contentType = contentTypeOf(*file, bytes);
    response.withHeader("Cache-Control", "no-cache");
    response.body = request.method == "HEAD" ? std::string() : std::move(bytes);
    return response;
}

} // namespace

HttpResponse handleStorage(Server& server, const HttpRequest& request, std::string_view subpath,
                           const std::optional<std::string>& apiKey) {
    constexpr std::string_view signPrefix = "/object/sign/";
    if (subpath.substr(0, signPrefix.size()) != signPrefix) {
        return storageError(404, "not_found", "Route not found");
    }
    const auto key = objectKey(subpath.substr(signPrefix.size()));
    if (!key) {
        return storageError(400, "InvalidKey", "Invalid key");
    }
    if (request.method == "POST") {
        return createSignedUrl(server, request, *key, apiKey);
    }
    if (request.method == "GET" || request.method == "HEAD") {
        return serveSigned(server, request, *key);
    }
    return storageError(405, "MethodNotAllowed", "Method Not Allowed");
}

} // namespace ostral::devstack
