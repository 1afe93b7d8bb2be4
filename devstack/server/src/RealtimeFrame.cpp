#include "RealtimeFrame.h"

namespace ostral::devstack {
namespace {

// Frames larger than this are refused unread; the WebSocket layer limits them as well.
constexpr std::size_t maxFrameBytes = 1 << 20;
// Phoenix messages nest a few levels; a join payload perhaps five. Anything far deeper is an
// attack on the parser or on whoever later prints the value.
constexpr int maxNesting = 32;

bool nestsTooDeeply(std::string_view text) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxNesting) {
                return true;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

// A ref is a string or null; anything else is not a ref.
bool readRef(const nlohmann::json& value, std::optional<std::string>& out) {
    if (value.is_null()) {
        out.reset();
        return true;
    }
    if (value.is_string()) {
        out = value.get<std::string>();
        return true;
    }
    return false;
}

Failure<FrameError> fail(std::string reason, const nlohmann::json* topic = nullptr,
                         const nlohmann::json* joinRef = nullptr,
                         const nlohmann::json* ref = nullptr) {
    FrameError error{std::move(reason), std::nullopt, std::nullopt, std::nullopt};
    if (topic != nullptr && topic->is_string()) {
        error.topic = topic->get<std::string>();
    }
    if (joinRef != nullptr) {
        readRef(*joinRef, error.joinRef);
    }
    if (ref != nullptr) {
        readRef(*ref, error.ref);
    }
    return Failure{std::move(error)};
}

Outcome<PhoenixMessage, FrameError>
fromParts(const nlohmann::json* joinRef, const nlohmann::json* ref, const nlohmann::json& topic,
          const nlohmann::json& event, const nlohmann::json& payload) {
    PhoenixMessage message;
    if (!topic.is_string()) {
        return fail("topic must be a string", &topic, joinRef, ref);
    }
    message.topic = topic.get<std::string>();
    if ((joinRef != nullptr && !readRef(*joinRef, message.joinRef)) ||
        (ref != nullptr && !readRef(*ref, message.ref))) {
        return fail("refs must be strings or null", &topic, joinRef, ref);
    }
    if (!event.is_string()) {
        return fail("event must be a string", &topic, joinRef, ref);
    }
    message.event = event.get<std::string>();
    if (!payload.is_object()) {
        return fail("payload must be an object", &topic, joinRef, ref);
    }
    message.payload = payload;
    return message;
}

} // namespace

std::optional<RealtimeVsn> realtimeVsn(std::optional<std::string_view> param) {
    if (!param || *param == "1.0.0") {
        return RealtimeVsn::v1;
    }
    if (*param == "2.0.0") {
        return RealtimeVsn::v2;
    }
    return std::nullopt;
}

Outcome<PhoenixMessage, FrameError> decodePhoenixFrame(std::string_view text, RealtimeVsn vsn) {
    if (text.size() > maxFrameBytes) {
        return fail("frame is too large");
    }
    if (nestsTooDeeply(text)) {
        return fail("frame nests too deeply");
    }
    const auto frame = nlohmann::json::parse(text, nullptr, false);
    if (frame.is_discarded()) {
        return fail("frame is not JSON");
    }
    if (vsn == RealtimeVsn::v2) {
        if (!frame.is_array()) {
            return fail("frame must be an array [join_ref, ref, topic, event, payload]");
        }
        if (frame.size() != 5) {
            const nlohmann::json* topic = frame.size() > 2 ? &frame[2] : nullptr;
            const nlohmann::json* joinRef = !frame.empty() ? &frame[0] : nullptr;
            const nlohmann::json* ref = frame.size() > 1 ? &frame[1] : nullptr;
            return fail("frame must have 5 elements", topic, joinRef, ref);
        }
        return fromParts(&frame[0], &frame[1], frame[2], frame[3], frame[4]);
    }
    if (!frame.is_object()) {
        return fail("frame must be an object {topic, event, payload, ref}");
    }
    const auto field = [&frame](const char* key) -> const nlohmann::json* {
        const auto found = frame.find(key);
        return found == frame.end() ? nullptr : &*found;
    };
    const nlohmann::json* topic = field("topic");
    const nlohmann::json* event = field("event");
    const nlohmann::json* payload = field("payload");
    if (topic == nullptr || event == nullptr || payload == nullptr) {
        return fail("frame must have topic, event and payload", topic, field("join_ref"),
                    field("ref"));
    }
    return fromParts(field("join_ref"), field("ref"), *topic, *event, *payload);
}

std::string encodePhoenixFrame(const PhoenixMessage& message, RealtimeVsn vsn) {
    const auto ref = [](const std::optional<std::string>& value) {
        return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
    };
    if (vsn == RealtimeVsn::v2) {
        return nlohmann::json::array({ref(message.joinRef), ref(message.ref), message.topic,
                                      message.event, message.payload})
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return nlohmann::json{{"topic", message.topic},
                          {"event", message.event},
                          {"payload", message.payload},
                          {"ref", ref(message.ref)}}
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ostral::devstack
