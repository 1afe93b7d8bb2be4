#include <OstralShellKit/PresenceStatus.h>

namespace ostral {

std::optional<PresenceStatus> PresenceStatus::fromRawValue(std::string_view text) {
    for (Value value : {receiving, online, away}) {
        if (PresenceStatus(value).rawValue() == text) {
            return PresenceStatus(value);
        }
    }
    return std::nullopt;
}

std::string_view PresenceStatus::rawValue() const {
    switch (value_) {
    case receiving:
        return "receiving";
    case online:
        return "online";
    case away:
        return "away";
    }
    return "online";
}

PresenceStatus PresenceStatus::derive(bool locked, bool receivesCalls,
                                      const std::vector<std::string>& lines, double idleSeconds,
                                      double awaySeconds) {
    if (locked || idleSeconds >= awaySeconds) {
        return away;
    }
    if (receivesCalls && !lines.empty()) {
        return receiving;
    }
    return online;
}

} // namespace ostral
