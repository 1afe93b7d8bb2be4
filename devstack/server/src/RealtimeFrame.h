#pragma once

#include "Outcome.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace ostral::devstack {

// The two Phoenix serializers the Realtime endpoint speaks: "1.0.0" frames are JSON objects
// {"topic","event","payload","ref"}, "2.0.0" frames are arrays [join_ref, ref, topic, event,
// payload].
enum class RealtimeVsn { v1, v2 };

// The serializer named by the `vsn` query parameter; an absent parameter means 1.0.0, as in
// Phoenix. Any other text is refused.
std::optional<RealtimeVsn> realtimeVsn(std::optional<std::string_view> param);

struct PhoenixMessage {
    std::optional<std::string> joinRef;
    std::optional<std::string> ref;
    std::string topic;
    std::string event;
    nlohmann::json payload = nlohmann::json::object();

    bool operator==(const PhoenixMessage&) const = default;
};

// A frame that is not a well-formed message. `topic` and `ref` are kept when they could be read,
// so that the sender can still be answered on that topic.
struct FrameError {
    std::string reason;
    std::optional<std::string> topic;
    std::optional<std::string> joinRef;
    std::optional<std::string> ref;

    bool operator==(const FrameError&) const = default;
};

// Reads one text frame. Refs are strings or null; topic and event are strings; the payload is a
// JSON object. Deeply nested or oversized input is refused before it is parsed.
Outcome<PhoenixMessage, FrameError> decodePhoenixFrame(std::string_view text, RealtimeVsn vsn);

// Writes one frame. Version 1.0.0 has no join_ref field; the server never sends it there.
std::string encodePhoenixFrame(const PhoenixMessage& message, RealtimeVsn vsn);

} // namespace ostral::devstack
