#pragma once

#include <OstralShellKit/Date.h>
#include <OstralShellKit/PresenceStatus.h>

#include <optional>
#include <string>
#include <vector>

namespace ostral {

// One presence report: the status and the labels of the lines that ring at this desk, in the
// staff member's order (a change of order is a change).
struct PresenceBeat {
    PresenceStatus status = PresenceStatus::online;
    std::vector<std::string> lines;

    // How old the last report may grow before an unchanged beat is sent again, in seconds.
    static constexpr double resendInterval = 60.0;

    bool operator==(const PresenceBeat&) const = default;

    // Whether `beat` is to be written: always when nothing was written yet or the beat changed,
    // otherwise once at least `resendInterval` seconds have passed since `sentAt`.
    static bool shouldSend(const PresenceBeat& beat, const std::optional<PresenceBeat>& last,
                           std::optional<Date> sentAt, Date now);
};

} // namespace ostral
