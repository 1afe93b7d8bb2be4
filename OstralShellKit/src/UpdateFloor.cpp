#include <OstralShellKit/UpdateFloor.h>

namespace ostral::UpdateFloor {

std::optional<ShellVersion> requiredVersion(const ShellVersion& running,
                                            const std::optional<std::string>& floor,
                                            const std::vector<MacRelease>& releases) {
    std::optional<ShellVersion> highest;
    auto consider = [&highest](std::optional<ShellVersion> candidate) {
        if (candidate && (!highest || *candidate > *highest)) {
            highest = candidate;
        }
    };
    if (floor) {
        consider(ShellVersion::parse(*floor));
    }
    for (const auto& release : releases) {
        if (release.channel == kChannel && release.mandatory) {
            consider(ShellVersion::parse(release.version));
        }
    }
    if (highest && *highest > running) {
        return highest;
    }
    return std::nullopt;
}

bool isNewer(const ShellVersion& running, const MacRelease& release) {
    if (release.channel != kChannel) {
        return false;
    }
    const auto version = ShellVersion::parse(release.version);
    return version && *version > running;
}

} // namespace ostral::UpdateFloor
