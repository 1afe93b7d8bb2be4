#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// Phoenix channel frames, as the Realtime server exchanges them over its WebSocket. Protocol
// 2.0.0 sends arrays `[join_ref, ref, topic, event, payload]`; 1.0.0 sent objects with the keys
// "join_ref" (optional), "ref", "topic", "event" and "payload". Both are read; 2.0.0 is written.
namespace ostral::supabase {

struct PhoenixMessage {
    std::optional<std::string> joinRef;
    std::optional<std::string> ref;
    std::string topic;
    std::string event;
    // Always an object.
    nlohmann::json payload = nlohmann::json::object();

    bool operator==(const PhoenixMessage&) const = default;
};

// Why a frame was dropped.
enum class FrameProblem {
    notJson,    // not JSON text, or nested too deeply
    notFrame,   // neither a five-element array nor an object
    badJoinRef, // join_ref neither a string nor null
    badRef,     // ref neither a string nor null
    badTopic,   // topic missing, empty or not a string
    badEvent,   // event missing, empty or not a string
    badPayload, // payload missing or not an object
};

std::string_view frameProblemName(FrameProblem problem);

// Reads one text frame. Never throws; anything but a well-formed frame gives its problem.
std::variant<PhoenixMessage, FrameProblem> decodePhoenixFrame(std::string_view text);

// The frame in protocol 2.0.0. Text that is not valid UTF-8 is written with replacement
// characters rather than failing.
std::string encodePhoenixFrame(const PhoenixMessage& message);

} // namespace ostral::supabase
