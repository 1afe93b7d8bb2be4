#pragma once

#include "Outcome.h"
#include "RealtimeCatalog.h"
#include "RealtimeJoin.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostral::devstack {

// One row change as the database triggers announce it on the `ostral_realtime` channel.
struct RealtimeChange {
    std::string schema;
    std::string table;
    RealtimeEvent type = RealtimeEvent::insert; // never `all`
    std::string commitTimestamp;
    std::optional<nlohmann::json> record;    // INSERT and UPDATE
    std::optional<nlohmann::json> oldRecord; // UPDATE and DELETE
    nlohmann::json errors;                   // null, or a list of texts
};

// Reads a notification payload; the error says what is wrong with it for the log.
Outcome<RealtimeChange, std::string> parseRealtimeNotification(std::string_view payload);

// The ids of the subscriptions that a change matches, each once, in subscription order. A
// filter is checked on the new record, or on the old one for a DELETE.
std::vector<std::int64_t>
matchingSubscriptionIds(const std::vector<RealtimeSubscription>& subscriptions,
                        const RealtimeChange& change);

// The primary-key values of the changed row, as text in key order, from the record (the old
// record of a DELETE); nullopt when a key column is missing or null.
std::optional<std::vector<std::string>> primaryKeyValues(const RealtimeChange& change,
                                                         const RealtimeTable& table);

// The "data" object of a postgres_changes message: schema, table, commit_timestamp, type,
// columns, record (not for DELETE), old_record (not for INSERT) and errors. The old record of a
// DELETE holds only the primary key, as row level security allows no more to be shown.
nlohmann::json realtimeChangeData(const RealtimeChange& change, const RealtimeTable* table);

std::string_view realtimeEventName(RealtimeEvent event);

} // namespace ostral::devstack
