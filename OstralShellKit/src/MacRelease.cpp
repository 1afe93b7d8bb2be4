#include <OstralShellKit/ListDecoding.h>
#include <OstralShellKit/MacRelease.h>

#include <utility>

namespace ostral {

decode::Result<MacRelease> MacRelease::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return Unexpected{std::move(object).error()};
    }
    auto channel = decode::requiredString(value, "channel");
    if (!channel) {
        return Unexpected{std::move(channel).error()};
    }
    auto version = decode::requiredString(value, "version");
    if (!version) {
        return Unexpected{std::move(version).error()};
    }
    auto mandatory = decode::requiredBool(value, "mandatory");
    if (!mandatory) {
        return Unexpected{std::move(mandatory).error()};
    }
    return MacRelease{std::move(channel).value(), std::move(version).value(), *mandatory};
}

decode::Result<MacRelease> MacRelease::decode(std::string_view jsonText) {
    return decode::fromText(jsonText, [](const Json& value) { return decode(value); });
}

decode::Result<std::vector<MacRelease>> MacRelease::decodeList(const Json& value) {
    return decode::list<MacRelease>(value, [](const Json& row) { return decode(row); });
}

decode::Result<std::vector<MacRelease>> MacRelease::decodeList(std::string_view jsonText) {
    return decode::fromText(jsonText, [](const Json& value) { return decodeList(value); });
}

} // namespace ostral
