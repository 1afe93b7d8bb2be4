#include "MakeError.h"

#include <Supabase/HttpClient.h>
#include <Support/Awaitables.h>

#include <fmt/format.h>
#include <glib.h>

#include <algorithm>
#include <cstdint>

namespace ostral::supabase {

using support::GBytesPtr;
using support::GErrorPtr;
using support::GObjectPtr;
using support::kAdopt;
using support::Task;

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

Error errorFrom(const GErrorPtr& error) {
    Error result;
    result.kind = Error::Kind::transport;
    if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        result.kind = Error::Kind::timedOut;
    } else if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        result.kind = Error::Kind::cancelled;
    }
    result.message = support::errorMessage(error);
    return result;
}

void collectHeader(const char* name, const char* value, gpointer userData) {
    static_cast<HttpHeaders*>(userData)->emplace_back(name, value);
}

// A static coroutine over copies, so that a request in flight does not depend on the
// HttpClient object that started it.
Task<Result<HttpResponse>> sendOn(GObjectPtr<SoupSession> session, HttpOptions options,
                                  HttpRequest request) {
    GObjectPtr<SoupMessage> message(soup_message_new(request.method.c_str(), request.url.c_str()),
                                    kAdopt);
    if (!message) {
        co_return makeError(Error::Kind::transport, fmt::format("Invalid URL: {}", request.url));
    }
    SoupMessageHeaders* requestHeaders = soup_message_get_request_headers(message.get());
    std::string contentType = "application/json";
    for (const auto& [name, value] : request.headers) {
        if (sameName(name, "Content-Type")) {
            contentType = value;
        } else {
            soup_message_headers_append(requestHeaders, name.c_str(), value.c_str());
        }
    }
    if (request.body) {
        GBytesPtr bytes(g_bytes_new(request.body->data(), request.body->size()), kAdopt);
        soup_message_set_request_body_from_bytes(message.get(), contentType.c_str(), bytes.get());
    }

    const GObjectPtr<GAsyncResult> sent = co_await support::gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            soup_session_send_async(session.get(), message.get(), G_PRIORITY_DEFAULT, cancellable,
                                    callback, userData);
        });
    GErrorPtr error;
    GObjectPtr<GInputStream> stream(
        soup_session_send_finish(session.get(), sent.get(), error.out()), kAdopt);
    if (!stream) {
        co_return errorFrom(error);
    }

    HttpResponse response;
    response.status = soup_message_get_status(message.get());
    soup_message_headers_foreach(soup_message_get_response_headers(message.get()), collectHeader,
                                 &response.headers);
    for (;;) {
        const GObjectPtr<GAsyncResult> read = co_await support::gioAsync(
            [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
                g_input_stream_read_bytes_async(stream.get(), gsize{64} * 1024, G_PRIORITY_DEFAULT,
                                                cancellable, callback, userData);
            });
        GBytesPtr chunk(g_input_stream_read_bytes_finish(stream.get(), read.get(), error.out()),
                        kAdopt);
        if (!chunk) {
            co_return errorFrom(error);
        }
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(chunk.get(), &size));
        if (size == 0) {
            break;
        }
        if (size > options.maxBodyBytes - response.body.size()) {
            co_return makeError(
                Error::Kind::decoding,
                fmt::format("The answer is larger than {} bytes", options.maxBodyBytes),
                response.status);
        }
        response.body.append(data, size);
    }
    co_return response;
}

} // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (sameName(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

HttpClient::HttpClient(HttpOptions options)
    : options_(options)
    , session_(soup_session_new_with_options(
                   "timeout",
                   static_cast<guint>(std::clamp<std::int64_t>(options.timeout.count(), 1, 3600)),
                   "idle-timeout", 60u, "user-agent", "ostral-admin-supabase/0.1", nullptr),
               kAdopt) {}

Task<Result<HttpResponse>> HttpClient::send(HttpRequest request) {
    return sendOn(session_, options_, std::move(request));
}

} // namespace ostral::supabase
