#pragma once

#include "Outcome.h"
#include "RealtimeCatalog.h"
#include "RealtimeFilter.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace ostral::devstack {

enum class RealtimeEvent { insert, update, del, all };

// One postgres_changes entry of a join, checked against the catalog. `table` is nullopt when
// the entry subscribes to every table of the schema ("*" or no table).
struct RealtimeSubscription {
    std::int64_t id = 0;
    RealtimeEvent event = RealtimeEvent::all;
    std::string schema;
    std::optional<std::string> table;
    std::optional<RealtimeFilter> filter;

    bool operator==(const RealtimeSubscription&) const = default;
};

struct RealtimeJoinRequest {
    std::vector<RealtimeSubscription> subscriptions;
    // The reply's postgres_changes list: the client's own entries, each with its "id" added.
    nlohmann::json replyEntries = nlohmann::json::array();
    // user_token, else access_token; nullopt when the client sent neither (or null).
    std::optional<std::string> accessToken;
};

// The id the server gives a subscription entry: a stable hash of the entry as the client sent
// it, a non-negative integer below 2^27. Equal entries get equal ids on every socket and run,
// so a client can match the ids of events to the entries it asked for.
std::int64_t realtimeSubscriptionId(const nlohmann::json& entry);

// Reads a phx_join payload. The error is the reason of the error reply, prefixed with its code.
Outcome<RealtimeJoinRequest, std::string> parseRealtimeJoin(const nlohmann::json& payload,
                                                            const RealtimeCatalog& catalog);

} // namespace ostral::devstack
