#include "RealtimeJoin.h"

namespace ostral::devstack {
namespace {

constexpr std::string_view code = "InvalidJoinPayload: ";

Failure<std::string> fail(const std::string& message) {
    return Failure{std::string(code) + message};
}

std::optional<RealtimeEvent> eventNamed(const std::string& name) {
    std::string upper;
    for (const char c : name) {
        upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (upper == "INSERT") {
        return RealtimeEvent::insert;
    }
    if (upper == "UPDATE") {
        return RealtimeEvent::update;
    }
    if (upper == "DELETE") {
        return RealtimeEvent::del;
    }
    if (upper == "*") {
        return RealtimeEvent::all;
    }
    return std::nullopt;
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

Outcome<RealtimeSubscription, std::string> subscription(const nlohmann::json& entry,
                                                        const RealtimeCatalog& catalog) {
    if (!entry.is_object()) {
        return fail("each postgres_changes entry must be an object");
    }
    RealtimeSubscription result;
    const auto* event = member(entry, "event");
    if (event == nullptr || !event->is_string()) {
        return fail("postgres_changes entry needs an event (INSERT, UPDATE, DELETE or *)");
    }
    const auto parsedEvent = eventNamed(event->get<std::string>());
    if (!parsedEvent) {
        return fail("unknown event \"" + event->get<std::string>() +
                    "\"; expected INSERT, UPDATE, DELETE or *");
    }
    result.event = *parsedEvent;
    const auto* schema = member(entry, "schema");
    if (schema == nullptr || !schema->is_string()) {
        return fail("postgres_changes entry needs a schema");
    }
    result.schema = schema->get<std::string>();
    const auto* table = member(entry, "table");
    if (table != nullptr && !table->is_string()) {
        return fail("table must be a string");
    }
    const RealtimeTable* known = nullptr;
    if (table != nullptr && *table != "*") {
        result.table = table->get<std::string>();
        known = catalog.find(result.schema, *result.table);
        if (known == nullptr) {
            return fail("unknown table " + result.schema + "." + *result.table);
        }
    } else if (!catalog.hasSchema(result.schema)) {
        return fail("unknown schema " + result.schema);
    }
    const auto* filter = member(entry, "filter");
    // Some clients send an empty filter for "no filter".
    if (filter != nullptr && !(filter->is_string() && filter->get<std::string>().empty())) {
        if (!filter->is_string()) {
            return fail("filter must be a string");
        }
        if (known == nullptr) {
            return fail("a filter needs a table");
        }
        auto parsed = parseRealtimeFilter(filter->get<std::string>(), *known);
        if (!parsed) {
            return fail(parsed.error());
        }
        result.filter = std::move(parsed).value();
    }
    result.id = realtimeSubscriptionId(entry);
    return result;
}

} // namespace

std::int64_t realtimeSubscriptionId(const nlohmann::json& entry) {
    // FNV-1a over the canonical JSON text; objects print their keys sorted.
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return static_cast<std::int64_t>(hash % (std::uint64_t{1} << 27));
}

Outcome<RealtimeJoinRequest, std::string> parseRealtimeJoin(const nlohmann::json& payload,
                                                            const RealtimeCatalog& catalog) {
    RealtimeJoinRequest request;
    for (const char* key : {"user_token", "access_token"}) {
        const auto* token = member(payload, key);
        if (token == nullptr) {
            continue;
        }
        if (!token->is_string()) {
            return Failure{std::string("InvalidJWTToken: ") + key + " must be a string"};
        }
        request.accessToken = token->get<std::string>();
        break;
    }
    const auto* config = member(payload, "config");
    if (config == nullptr) {
        return request;
    }
    if (!config->is_object()) {
        return fail("config must be an object");
    }
    const auto* changes = member(*config, "postgres_changes");
    if (changes == nullptr) {
        return request;
    }
    if (!changes->is_array()) {
        return fail("postgres_changes must be a list");
    }
    for (const auto& entry : *changes) {
        auto parsed = subscription(entry, catalog);
        if (!parsed) {
            return Failure{std::move(parsed).error()};
        }
        auto reply = entry;
        reply["id"] = parsed->id;
        request.replyEntries.push_back(std::move(reply));
        request.subscriptions.push_back(std::move(parsed).value());
    }
    return request;
}

} // namespace ostral::devstack
