#pragma once

#include <Supabase/Error.h>
#include <Supabase/HttpClient.h>
#include <Support/Task.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Table access through PostgREST (<url>/rest/v1), for the subset of its syntax the shell uses:
//
//     co_await client.from("profiles").select("portal_role").eq("id", id).single().execute();
//     co_await client.from("live_call_acks").insert({{"call_id", id}, {"user_id", me}}).execute();
//     co_await client.from("staff_presence").upsert(row, "user_id,client").execute();
//     co_await client.from("staff_shell_prefs").update(changes).eq("user_id", me).select("user_id")
//         .execute();
//
// Requests carry the anon key as `apikey` and the signed-in user's access token as the bearer
// (the anon key when nobody is signed in). Values are sent exactly as given.
namespace ostral::supabase {

class AuthClient;

namespace detail {

// What every query of one client shares.
struct RestContext {
    // <url>/rest/v1
    std::string restUrl;
    std::string apiKey;
    std::shared_ptr<HttpClient> http;
    // Supplies the bearer token; none (or gone): the anon key.
    std::weak_ptr<AuthClient> auth;
};

} // namespace detail

// Percent-encodes every byte except letters, digits, "-._~" and the characters in `keep`.
std::string percentEncode(std::string_view text, std::string_view keep = {});

class PostgrestQuery {
public:
    PostgrestQuery(std::shared_ptr<const detail::RestContext> context, std::string table);

    // The columns to return ("a,b"; whitespace outside double quotes is dropped). For a write,
    // asks for the written rows back.
    PostgrestQuery& select(const std::string& columns);
    // Keeps rows whose `column` equals `value` (column=eq.value). Filters add up.
    PostgrestQuery& eq(std::string column, std::string value);
    // Asks for exactly one row as an object; 0 or several rows fail with 406 and code PGRST116.
    PostgrestQuery& single();

    // Inserts one object (or an array of them), asking nothing back unless select() follows.
    PostgrestQuery& insert(nlohmann::json values);
    // Inserts, or merges into the row that has the same values in `onConflict` ("a,b").
    PostgrestQuery& upsert(nlohmann::json values, const std::string& onConflict);
    // Changes the rows that the filters select.
    PostgrestQuery& update(nlohmann::json values);

    // The request execute() sends, without the Authorization header.
    HttpRequest request() const;

    // The rows (an array), the single object, or null for a write that asked nothing back.
    // The query may be destroyed while this runs.
    support::Task<Result<nlohmann::json>> execute() const;

private:
    enum class Operation { select, insert, upsert, update };

    std::shared_ptr<const detail::RestContext> context_;
    std::string table_;
    Operation operation_ = Operation::select;
    std::optional<std::string> columns_;
    std::vector<std::pair<std::string, std::string>> filters_;
    bool single_ = false;
    std::optional<nlohmann::json> values_;
    std::string onConflict_;
};

// POST <url>/rest/v1/rpc/<function> with the named parameters (or {}), without Authorization.
HttpRequest rpcRequest(const detail::RestContext& context, const std::string& function,
                       const std::optional<nlohmann::json>& params);

// Sends a request with the bearer token of the context's auth client, and reads the answer as
// PostgREST's.
support::Task<Result<nlohmann::json>>
sendRestRequest(std::shared_ptr<const detail::RestContext> context, HttpRequest request);

} // namespace ostral::supabase
