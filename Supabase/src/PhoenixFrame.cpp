#include <Supabase/RealtimeFrame.h>

namespace ostral::supabase {

namespace {

using Json = nlohmann::json;

// Frames come from the network, and writing a value out again is recursive, so nesting is held
// to a depth that no real payload comes near.
constexpr int kMaxDepth = 64;

std::optional<Json> parseLimited(std::string_view text) {
    bool tooDeep = false;
    auto limitDepth = [&tooDeep](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxDepth) {
            tooDeep = true;
        }
        return !tooDeep;
    };
    Json value = Json::parse(text.begin(), text.end(), limitDepth, /*allow_exceptions=*/false);
    if (tooDeep || value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

// A ref is a string or null; absent counts as null.
bool readRef(const Json* value, std::optional<std::string>& out) {
    if (value == nullptr || value->is_null()) {
        out.reset();
        return true;
    }
    if (!value->is_string()) {
        return false;
    }
    out = value->get<std::string>();
    return true;
}

bool readName(const Json* value, std::string& out) {
    if (value == nullptr || !value->is_string()) {
        return false;
    }
    out = value->get<std::string>();
    return !out.empty();
}

const Json* member(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::variant<PhoenixMessage, FrameProblem> readParts(const Json* joinRef, const Json* ref,
                                                     const Json* topic, const Json* event,
                                                     const Json* payload) {
    PhoenixMessage message;
    if (!readRef(joinRef, message.joinRef)) {
        return FrameProblem::badJoinRef;
    }
    if (!readRef(ref, message.ref)) {
        return FrameProblem::badRef;
    }
    if (!readName(topic, message.topic)) {
        return FrameProblem::badTopic;
    }
    if (!readName(event, message.event)) {
        return FrameProblem::badEvent;
    }
    if (payload == nullptr || !payload->is_object()) {
        return FrameProblem::badPayload;
    }
    message.payload = *payload;
    return message;
}

} // namespace

std::string_view frameProblemName(FrameProblem problem) {
    switch (problem) {
    case FrameProblem::notJson:
        return "not JSON";
    case FrameProblem::notFrame:
        return "not a frame";
    case FrameProblem::badJoinRef:
        return "bad join_ref";
    case FrameProblem::badRef:
        return "bad ref";
    case FrameProblem::badTopic:
        return "bad topic";
    case FrameProblem::badEvent:
        return "bad event";
    case FrameProblem::badPayload:
        return "bad payload";
    }
    return "unknown";
}

std::variant<PhoenixMessage, FrameProblem> decodePhoenixFrame(std::string_view text) {
    std::optional<Json> json = parseLimited(text);
    if (!json) {
        return FrameProblem::notJson;
    }
    if (json->is_array()) {
        if (json->size() != 5) {
            return FrameProblem::notFrame;
        }
        const Json& a = *json;
        return readParts(&a[0], &a[1], &a[2], &a[3], &a[4]);
    }
    if (json->is_object()) {
        return readParts(member(*json, "join_ref"), member(*json, "ref"), member(*json, "topic"),
                         member(*json, "event"), member(*json, "payload"));
    }
    return FrameProblem::notFrame;
}

std::string encodePhoenixFrame(const PhoenixMessage& message) {
    auto ref = [](const std::optional<std::string>& value) {
        return value ? Json(*value) : Json(nullptr);
    };
    Json frame = Json::array({ref(message.joinRef), ref(message.ref), message.topic, message.event,
                              message.payload.is_object() ? message.payload : Json::object()});
    return frame.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace ostral::supabase
