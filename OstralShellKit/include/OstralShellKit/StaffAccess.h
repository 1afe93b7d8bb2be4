#pragma once

#include <OstralShellKit/Decoding.h>

#include <optional>
#include <string>
#include <string_view>

namespace ostral {

// The part of a staff member's `profiles` row that decides whether the shell admits them.
struct StaffAccess {
    std::optional<std::string> portalRole;

    bool operator==(const StaffAccess&) const = default;

    // "portal_role" missing or null is no role; any other non-string fails. Other keys are
    // ignored.
    static decode::Result<StaffAccess> decode(const Json& value);
    static decode::Result<StaffAccess> decode(std::string_view jsonText);

    // Any role of at least one character admits, taken as it stands: the portal, not the shell,
    // knows what the roles mean.
    bool hasPortalAccess() const { return portalRole.has_value() && !portalRole->empty(); }
};

} // namespace ostral
