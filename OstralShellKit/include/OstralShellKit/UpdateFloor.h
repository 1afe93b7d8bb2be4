#pragma once

#include <OstralShellKit/MacRelease.h>
#include <OstralShellKit/ShellVersion.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The minimum-version decision: which version the running application must reach before it may
// be used, from the backend's floor text and the mandatory releases of this application.
namespace ostral::UpdateFloor {

// The release channel of this desktop application.
inline constexpr std::string_view kChannel = "macos";

// The highest of the parsed floor and the parsed versions of the mandatory releases on
// `kChannel`, when it is above `running`; none when `running` is that high already or nothing
// parses. Texts that do not parse are left out.
std::optional<ShellVersion> requiredVersion(const ShellVersion& running,
                                            const std::optional<std::string>& floor,
                                            const std::vector<MacRelease>& releases);

// Whether `release` is on `kChannel` with a parsable version above `running`, mandatory or not.
bool isNewer(const ShellVersion& running, const MacRelease& release);

} // namespace ostral::UpdateFloor
