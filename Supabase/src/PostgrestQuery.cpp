#include <Supabase/AuthClient.h>
#include <Supabase/PostgrestQuery.h>
#include <Supabase/Responses.h>

#include <fmt/format.h>
#include <glib.h>

namespace ostral::supabase {

using support::Task;

namespace {

std::string withoutWhitespace(std::string_view columns) {
    std::string cleaned;
    bool quoted = false;
    for (const char c : columns) {
        if (c == '"') {
            quoted = !quoted;
        }
        if (!quoted && g_ascii_isspace(c)) {
            continue;
        }
        cleaned += c;
    }
    return cleaned;
}

HttpHeaders baseHeaders(const detail::RestContext& context) {
    return {
        {"apikey", context.apiKey},
        {"X-Client-Info", "ostral-admin-supabase/0.1"},
    };
}

} // namespace

std::string percentEncode(std::string_view text, std::string_view keep) {
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        if (g_ascii_isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
            keep.find(c) != std::string_view::npos) {
            encoded += c;
        } else {
            encoded += fmt::format("%{:02X}", static_cast<unsigned char>(c));
        }
    }
    return encoded;
}

PostgrestQuery::PostgrestQuery(std::shared_ptr<const detail::RestContext> context,
                               std::string table)
    : context_(std::move(context))
    , table_(std::move(table)) {}

PostgrestQuery& PostgrestQuery::select(const std::string& columns) {
    columns_ = withoutWhitespace(columns);
    return *this;
}

PostgrestQuery& PostgrestQuery::eq(std::string column, std::string value) {
    filters_.emplace_back(std::move(column), std::move(value));
    return *this;
}

PostgrestQuery& PostgrestQuery::single() {
    single_ = true;
    return *this;
}

PostgrestQuery& PostgrestQuery::insert(nlohmann::json values) {
    operation_ = Operation::insert;
    values_ = std::move(values);
    return *this;
}

PostgrestQuery& PostgrestQuery::upsert(nlohmann::json values, const std::string& onConflict) {
    operation_ = Operation::upsert;
    values_ = std::move(values);
    onConflict_ = withoutWhitespace(onConflict);
    return *this;
}

PostgrestQuery& PostgrestQuery::update(nlohmann::json values) {
    operation_ = Operation::update;
    values_ = std::move(values);
    return *this;
}

HttpRequest PostgrestQuery::request() const {
    std::vector<std::string> query;
    if (columns_) {
        query.push_back("select=" + percentEncode(*columns_, ",*()\""));
    }
    for (const auto& [column, value] : filters_) {
        query.push_back(percentEncode(column) + "=eq." + percentEncode(value));
    }
    if (operation_ == Operation::upsert && !onConflict_.empty()) {
        query.push_back("on_conflict=" + percentEncode(onConflict_, ","));
    }

    HttpRequest request;
    request.url = context_->restUrl + "/" + percentEncode(table_);
    for (std::size_t i = 0; i < query.size(); ++i) {
        request.url += (i == 0 ? "?" : "&") + query[i];
    }
    request.headers = baseHeaders(*context_);
    request.headers.emplace_back("Accept", single_ ? "application/vnd.pgrst.object+json"
                                                   : "application/json");

    const std::string returning = columns_ ? "return=representation" : "return=minimal";
    switch (operation_) {
    case Operation::select:
        request.method = "GET";
        break;
    case Operation::insert:
        request.method = "POST";
        request.headers.emplace_back("Prefer", returning);
        break;
    case Operation::upsert:
        request.method = "POST";
        request.headers.emplace_back("Prefer", columns_ ? "resolution=merge-duplicates," + returning
                                                        : "resolution=merge-duplicates");
        break;
    case Operation::update:
        request.method = "PATCH";
        request.headers.emplace_back("Prefer", returning);
        break;
    }
    if (operation_ != Operation::select) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = jsonText(values_.value_or(nlohmann::json::object()));
    }
    return request;
}

Task<Result<nlohmann::json>> PostgrestQuery::execute() const {
    return sendRestRequest(context_, request());
}

HttpRequest rpcRequest(const detail::RestContext& context, const std::string& function,
                       const std::optional<nlohmann::json>& params) {
    HttpRequest request;
    request.method = "POST";
    request.url = context.restUrl + "/rpc/" + percentEncode(function);
    request.headers = baseHeaders(context);
    request.headers.emplace_back("Accept", "application/json");
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = jsonText(params.value_or(nlohmann::json::object()));
    return request;
}

Task<Result<nlohmann::json>> sendRestRequest(std::shared_ptr<const detail::RestContext> context,
                                             HttpRequest request) {
    std::string bearer = context->apiKey;
    if (const std::shared_ptr<AuthClient> auth = context->auth.lock()) {
        const Result<Session> session = co_await auth->session();
        if (session) {
            bearer = session->accessToken;
        }
    }
    request.headers.emplace_back("Authorization", "Bearer " + bearer);
    const Result<HttpResponse> response = co_await context->http->send(std::move(request));
    if (!response) {
        co_return response.error();
    }
    co_return readPostgrestResponse(*response);
}

} // namespace ostral::supabase
