#include <OstralShellKit/CallContext.h>
#include <OstralShellKit/ListDecoding.h>

#include <utility>

namespace ostral {

decode::Result<CallContextField> CallContextField::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return Unexpected{std::move(object).error()};
    }
    auto label = decode::requiredString(value, "label");
    if (!label) {
        return Unexpected{std::move(label).error()};
    }
    auto text = decode::requiredString(value, "value");
    if (!text) {
        return Unexpected{std::move(text).error()};
    }
    return CallContextField{std::move(label).value(), std::move(text).value()};
}

decode::Result<CallContext> CallContext::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return Unexpected{std::move(object).error()};
    }
    auto fields = decode::requiredList<CallContextField>(
        value, "fields", [](const Json& field) { return CallContextField::decode(field); });
    if (!fields) {
        return Unexpected{std::move(fields).error()};
    }
    return CallContext{std::move(fields).value()};
}

decode::Result<CallContext> CallContext::decode(std::string_view jsonText) {
    return decode::fromText(jsonText, [](const Json& value) { return decode(value); });
}

} // namespace ostral
