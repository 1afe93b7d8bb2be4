#include <OstralShellKit/CatchUpCall.h>
#include <OstralShellKit/ListDecoding.h>

#include <utility>

namespace ostral {

decode::Result<CatchUpCall> CatchUpCall::decode(const Json& value) {
    auto call = LiveCall::decode(value);
    if (!call) {
        return Unexpected{std::move(call).error()};
    }
    auto age = decode::requiredDouble(value, "age_seconds");
    if (!age) {
        return Unexpected{std::move(age).error()};
    }
    return CatchUpCall{std::move(call).value(), *age};
}

decode::Result<std::vector<CatchUpCall>> CatchUpCall::decodeList(const Json& value) {
    return decode::list<CatchUpCall>(value, [](const Json& row) { return decode(row); });
}

decode::Result<std::vector<CatchUpCall>> CatchUpCall::decodeList(std::string_view jsonText) {
    return decode::fromText(jsonText, [](const Json& value) { return decodeList(value); });
}

} // namespace ostral
