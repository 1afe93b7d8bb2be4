#include <OstralShellKit/PresenceBeat.h>

namespace ostral {

bool PresenceBeat::shouldSend(const PresenceBeat& beat, const std::optional<PresenceBeat>& last,
                              std::optional<Date> sentAt, Date now) {
    if (!last || !sentAt || beat != *last) {
        return true;
    }
    return secondsBetween(*sentAt, now) >= resendInterval;
}

} // namespace ostral
