#include <OstralShellKit/StaffAccess.h>

#include <utility>

namespace ostral {

decode::Result<StaffAccess> StaffAccess::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return Unexpected{std::move(object).error()};
    }
    auto role = decode::optionalString(value, "portal_role");
    if (!role) {
        return Unexpected{std::move(role).error()};
    }
    return StaffAccess{std::move(role).value()};
}

decode::Result<StaffAccess> StaffAccess::decode(std::string_view jsonText) {
    return decode::fromText(jsonText, [](const Json& value) { return decode(value); });
}

} // namespace ostral
