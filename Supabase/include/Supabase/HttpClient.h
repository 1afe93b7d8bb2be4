#pragma once

#include <Supabase/Error.h>
#include <Support/GObjectPtr.h>
#include <Support/Task.h>

#include <libsoup/soup.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The HTTP transport of the backend client: one SoupSession (no cookie jar, no cache) on the
// main loop, one request at a time per call, every outcome a value.
namespace ostral::supabase {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;
    // Sent with the Content-Type header given in `headers` when present.
    std::optional<std::string> body;

    bool operator==(const HttpRequest&) const = default;
};

struct HttpResponse {
    unsigned status = 0;
    HttpHeaders headers;
    std::string body;

    // The first value of a header, matched without regard to case.
    std::optional<std::string> header(std::string_view name) const;
    bool isSuccess() const { return status >= 200 && status < 300; }

    bool operator==(const HttpResponse&) const = default;
};

struct HttpOptions {
    // How long a connection may stay silent (connecting, sending or waiting for the answer).
    std::chrono::seconds timeout = std::chrono::seconds(30);
    // A larger response body is refused; no answer of the backend comes near it.
    std::size_t maxBodyBytes = std::size_t{8} * 1024 * 1024;

    bool operator==(const HttpOptions&) const = default;
};

class HttpClient {
public:
    explicit HttpClient(HttpOptions options = {});
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends the request and reads the whole answer. Any HTTP status is a response; only a
    // request that got no (complete) answer is an error: transport (with GLib's message),
    // timedOut, cancelled, or decoding for a body above the size limit. A URL that cannot be
    // parsed is a transport error too.
    support::Task<Result<HttpResponse>> send(HttpRequest request);

    // The session, shared with the realtime connection.
    const support::GObjectPtr<SoupSession>& session() const noexcept { return session_; }
    const HttpOptions& options() const noexcept { return options_; }

private:
    HttpOptions options_;
    support::GObjectPtr<SoupSession> session_;
};

} // namespace ostral::supabase
