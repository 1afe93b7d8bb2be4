#pragma once

#include <Supabase/Realtime.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The payloads of the Realtime channel protocol that the client writes and reads: the join
// request, the ids in the server's join reply, and the change events.
namespace ostral::supabase {

// What the X-Client-Info header says about us; the join payload's "version" repeats it.
inline constexpr std::string_view kRealtimeClientVersion = "ostral-admin-supabase/0.1";

// One postgres_changes listener as the join request states it.
struct PostgresChangeConfig {
    PostgresAction action = PostgresAction::all;
    std::string schema;
    std::string table;
    std::optional<std::string> filter;

    bool operator==(const PostgresChangeConfig&) const = default;
};

// The phx_join payload: broadcast and presence off, the listeners in order, the access token when
// there is one, and our version.
nlohmann::json realtimeJoinPayload(const std::vector<PostgresChangeConfig>& configs,
                                   const std::optional<std::string>& accessToken);

// The server id of each config, in order, from an ok join reply's "response". Each config takes
// the id of the first server entry with the same event, schema, table and filter (a missing and
// a null filter are the same). Nothing when some config has no entry, when the response is
// malformed, or when an id is not a whole number.
std::optional<std::vector<std::int64_t>>
matchPostgresChangeIds(const std::vector<PostgresChangeConfig>& configs,
                       const nlohmann::json& response);

// A change event with the ids of the subscriptions it matched.
struct RoutedChange {
    std::vector<std::int64_t> ids;
    PostgresChange change;

    bool operator==(const RoutedChange&) const = default;
};

// Reads a "postgres_changes" payload {"ids": [...], "data": {...}}. Nothing when the ids or the
// data are malformed or the type is not INSERT, UPDATE or DELETE.
std::optional<RoutedChange> decodePostgresChangeEvent(const nlohmann::json& payload);

// Whether a listener for `action` receives an event of `type` (compared without case).
bool postgresActionMatches(PostgresAction action, std::string_view type);

} // namespace ostral::supabase
