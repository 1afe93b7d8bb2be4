// Realtime frames as the server's WebSocket delivers them: any text either decodes to a message
// that writes out and reads back unchanged, or names its problem; the payload readers of join
// replies and change events take whatever a decoded frame carries.
#include "FuzzCheck.h"

#include <Supabase/RealtimeFrame.h>
#include <Supabase/RealtimeProtocol.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral::supabase;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto decoded = decodePhoenixFrame(text);
    if (auto* problem = std::get_if<FrameProblem>(&decoded)) {
        FUZZ_CHECK(!frameProblemName(*problem).empty());
        return 0;
    }
    const PhoenixMessage& message = std::get<PhoenixMessage>(decoded);
    FUZZ_CHECK(message.payload.is_object());
    FUZZ_CHECK(!message.topic.empty() && !message.event.empty());

    auto again = decodePhoenixFrame(encodePhoenixFrame(message));
    FUZZ_CHECK(std::holds_alternative<PhoenixMessage>(again));
    FUZZ_CHECK(std::get<PhoenixMessage>(again) == message);

    if (auto change = decodePostgresChangeEvent(message.payload)) {
        FUZZ_CHECK(change->change.type == "INSERT" || change->change.type == "UPDATE" ||
                   change->change.type == "DELETE");
        FUZZ_CHECK(change->change.record.is_object() && change->change.oldRecord.is_object());
        FUZZ_CHECK(change->change.columns.is_array());
    }
    static const std::vector<PostgresChangeConfig> configs = {
        {PostgresAction::insert, "public", "live_calls", std::nullopt},
        {PostgresAction::all, "public", "staff_shell_prefs", "user_id=eq.u"},
    };
    if (auto response = message.payload.find("response"); response != message.payload.end()) {
        if (auto ids = matchPostgresChangeIds(configs, *response)) {
            FUZZ_CHECK(ids->size() == configs.size());
        }
    }
    return 0;
}
