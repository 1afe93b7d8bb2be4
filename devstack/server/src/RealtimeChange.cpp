#include "RealtimeChange.h"

#include <algorithm>

namespace ostral::devstack {
namespace {

// PostgreSQL limits a notification payload to 8000 bytes by default.
constexpr std::size_t maxPayloadBytes = 8192;

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

Failure<std::string> fail(std::string message) {
    return Failure{std::move(message)};
}

std::string valueText(const nlohmann::json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

std::string_view realtimeEventName(RealtimeEvent event) {
    switch (event) {
    case RealtimeEvent::insert:
        return "INSERT";
    case RealtimeEvent::update:
        return "UPDATE";
    case RealtimeEvent::del:
        return "DELETE";
    case RealtimeEvent::all:
        break;
    }
    return "*";
}

Outcome<RealtimeChange, std::string> parseRealtimeNotification(std::string_view payload) {
    if (payload.size() > maxPayloadBytes) {
        return fail("notification is too large");
    }
    const auto json = nlohmann::json::parse(payload, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return fail("notification is not a JSON object");
    }
    RealtimeChange change;
    for (const auto& [key, target] :
         {std::pair{"schema", &change.schema}, std::pair{"table", &change.table},
          std::pair{"commit_timestamp", &change.commitTimestamp}}) {
        const auto* value = member(json, key);
        if (value == nullptr || !value->is_string()) {
            return fail(std::string("notification has no text ") + key);
        }
        *target = value->get<std::string>();
    }
    const auto* type = member(json, "type");
    if (type == nullptr || !type->is_string()) {
        return fail("notification has no type");
    }
    if (*type == "INSERT") {
        change.type = RealtimeEvent::insert;
    } else if (*type == "UPDATE") {
        change.type = RealtimeEvent::update;
    } else if (*type == "DELETE") {
        change.type = RealtimeEvent::del;
    } else {
        return fail("notification has an unknown type " + type->dump());
    }
    const bool wantsRecord = change.type != RealtimeEvent::del;
    const bool wantsOld = change.type != RealtimeEvent::insert;
    const auto* record = member(json, "record");
    const auto* oldRecord = member(json, "old_record");
    if (wantsRecord) {
        if (record == nullptr || !record->is_object()) {
            return fail("notification of an " + type->get<std::string>() + " has no record");
        }
        change.record = *record;
    }
    if (wantsOld) {
        if (oldRecord == nullptr || !oldRecord->is_object()) {
            return fail("notification of an " + type->get<std::string>() + " has no old_record");
        }
        change.oldRecord = *oldRecord;
    }
    if (const auto* errors = member(json, "errors"); errors != nullptr) {
        if (!errors->is_null() && !errors->is_array()) {
            return fail("notification errors must be a list");
        }
        change.errors = *errors;
    }
    return change;
}

std::vector<std::int64_t>
matchingSubscriptionIds(const std::vector<RealtimeSubscription>& subscriptions,
                        const RealtimeChange& change) {
    const nlohmann::json& row =
        change.type == RealtimeEvent::del ? *change.oldRecord : *change.record;
    std::vector<std::int64_t> ids;
    for (const auto& subscription : subscriptions) {
        const bool matches =
            subscription.schema == change.schema &&
            (!subscription.table || *subscription.table == change.table) &&
            (subscription.event == RealtimeEvent::all || subscription.event == change.type) &&
            (!subscription.filter || realtimeFilterMatches(*subscription.filter, row));
        if (matches && std::find(ids.begin(), ids.end(), subscription.id) == ids.end()) {
            ids.push_back(subscription.id);
        }
    }
    return ids;
}

std::optional<std::vector<std::string>> primaryKeyValues(const RealtimeChange& change,
                                                         const RealtimeTable& table) {
    const nlohmann::json& row =
        change.type == RealtimeEvent::del ? *change.oldRecord : *change.record;
    if (table.primaryKey.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> values;
    for (const auto& column : table.primaryKey) {
        const auto found = row.find(column);
        if (found == row.end() || found->is_null()) {
            return std::nullopt;
        }
        values.push_back(valueText(*found));
    }
    return values;
}

nlohmann::json realtimeChangeData(const RealtimeChange& change, const RealtimeTable* table) {
    auto columns = nlohmann::json::array();
    if (table != nullptr) {
        for (const auto& column : table->columns) {
            columns.push_back({{"name", column.name}, {"type", column.type}});
        }
    }
    nlohmann::json data{{"schema", change.schema},
                        {"table", change.table},
                        {"commit_timestamp", change.commitTimestamp},
                        {"type", realtimeEventName(change.type)},
                        {"columns", std::move(columns)},
                        {"errors", change.errors}};
    if (change.record) {
        data["record"] = *change.record;
    }
    if (change.oldRecord) {
        if (change.type == RealtimeEvent::del && table != nullptr) {
            auto keyOnly = nlohmann::json::object();
            for (const auto& column : table->primaryKey) {
                if (const auto found = change.oldRecord->find(column);
                    found != change.oldRecord->end()) {
                    keyOnly[column] = *found;
                }
            }
            data["old_record"] = std::move(keyOnly);
        } else {
            data["old_record"] = *change.oldRecord;
        }
    }
    return data;
}

} // namespace ostral::devstack
