#include <Supabase/RealtimeProtocol.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace ostral::supabase {

namespace {

using Json = nlohmann::json;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

std::optional<std::string> optionalString(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (it->is_string()) {
        return it->get<std::string>();
    }
    // A value of another type never equals one of ours; keep it distinguishable from absent.
    return it->dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool sameEntry(const PostgresChangeConfig& config, const Json& entry) {
    if (!entry.is_object()) {
        return false;
    }
    return optionalString(entry, "event") == std::string(postgresActionName(config.action)) &&
           optionalString(entry, "schema") == config.schema &&
           optionalString(entry, "table") == config.table &&
           optionalString(entry, "filter") == config.filter;
}

std::optional<std::int64_t> wholeNumber(const Json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number &&
            number >= -9223372036854775808.0 && number < 9223372036854775808.0) {
            return static_cast<std::int64_t>(number);
        }
    }
    return std::nullopt;
}

Json objectOrEmpty(const Json& data, const char* key) {
    auto it = data.find(key);
    if (it == data.end() || !it->is_object()) {
        return Json::object();
    }
    return *it;
}

} // namespace

std::string_view postgresActionName(PostgresAction action) {
    switch (action) {
    case PostgresAction::insert:
        return "INSERT";
    case PostgresAction::update:
        return "UPDATE";
    case PostgresAction::del:
        return "DELETE";
    case PostgresAction::all:
        return "*";
    }
    return "*";
}

std::string_view channelStatusName(ChannelStatus status) {
    switch (status) {
    case ChannelStatus::unsubscribed:
        return "unsubscribed";
    case ChannelStatus::subscribing:
        return "subscribing";
    case ChannelStatus::subscribed:
        return "subscribed";
    case ChannelStatus::unsubscribing:
        return "unsubscribing";
    }
    return "unknown";
}

Json realtimeJoinPayload(const std::vector<PostgresChangeConfig>& configs,
                         const std::optional<std::string>& accessToken) {
    Json changes = Json::array();
    for (const PostgresChangeConfig& config : configs) {
        Json entry = {{"event", std::string(postgresActionName(config.action))},
                      {"schema", config.schema},
                      {"table", config.table}};
        if (config.filter) {
            entry["filter"] = *config.filter;
        }
        changes.push_back(std::move(entry));
    }
    Json payload = {
        {"config",
         {{"broadcast", {{"ack", false}, {"self", false}, {"replication_ready", false}}},
          {"presence", {{"key", ""}, {"enabled", false}}},
          {"postgres_changes", std::move(changes)},
          {"private", false}}},
    };
    if (accessToken) {
        payload["access_token"] = *accessToken;
    }
    payload["version"] = std::string(kRealtimeClientVersion);
    return payload;
}

std::optional<std::vector<std::int64_t>>
matchPostgresChangeIds(const std::vector<PostgresChangeConfig>& configs, const Json& response) {
    const Json* entries = nullptr;
    if (response.is_object()) {
        auto it = response.find("postgres_changes");
        if (it != response.end() && it->is_array()) {
            entries = &*it;
        }
    }
    if (entries == nullptr) {
        // The server always lists the subscriptions; without listeners an absent list is fine.
        if (configs.empty()) {
            return std::vector<std::int64_t>{};
        }
        return std::nullopt;
    }
    std::vector<std::int64_t> ids;
    ids.reserve(configs.size());
    for (const PostgresChangeConfig& config : configs) {
        auto entry = std::find_if(entries->begin(), entries->end(),
                                  [&](const Json& e) { return sameEntry(config, e); });
        if (entry == entries->end()) {
            return std::nullopt;
        }
        auto id = entry->find("id");
        if (id == entry->end()) {
            return std::nullopt;
        }
        std::optional<std::int64_t> number = wholeNumber(*id);
        if (!number) {
            return std::nullopt;
        }
        ids.push_back(*number);
    }
    return ids;
}

std::optional<RoutedChange> decodePostgresChangeEvent(const Json& payload) {
    if (!payload.is_object()) {
        return std::nullopt;
    }
    auto ids = payload.find("ids");
    auto data = payload.find("data");
    if (ids == payload.end() || !ids->is_array() || data == payload.end() || !data->is_object()) {
        return std::nullopt;
    }
    RoutedChange routed;
    for (const Json& id : *ids) {
        std::optional<std::int64_t> number = wholeNumber(id);
        if (!number) {
            return std::nullopt;
        }
        routed.ids.push_back(*number);
    }
    auto type = data->find("type");
    if (type == data->end() || !type->is_string()) {
        return std::nullopt;
    }
    const std::string typeText = type->get<std::string>();
    for (std::string_view known : {"INSERT", "UPDATE", "DELETE"}) {
        if (equalsIgnoringCase(typeText, known)) {
            routed.change.type = std::string(known);
        }
    }
    if (routed.change.type.empty()) {
        return std::nullopt;
    }
    routed.change.record = objectOrEmpty(*data, "record");
    routed.change.oldRecord = objectOrEmpty(*data, "old_record");
    if (auto columns = data->find("columns"); columns != data->end() && columns->is_array()) {
        routed.change.columns = *columns;
    }
    if (auto stamp = data->find("commit_timestamp"); stamp != data->end() && stamp->is_string()) {
        routed.change.commitTimestamp = stamp->get<std::string>();
    }
    if (auto errors = data->find("errors"); errors != data->end() && errors->is_array()) {
        for (const Json& error : *errors) {
            if (error.is_string()) {
                routed.change.errors.push_back(error.get<std::string>());
            }
        }
    }
    return routed;
}

bool postgresActionMatches(PostgresAction action, std::string_view type) {
    return action == PostgresAction::all || equalsIgnoringCase(postgresActionName(action), type);
}

} // namespace ostral::supabase
