#include <OstralShellKit/ReceivingHealth.h>

namespace ostral {

void ReceivingHealth::setEnabled(bool isEnabled, Date now) {
    if (isEnabled == enabled) {
        return;
    }
    enabled = isEnabled;
    downSince = isEnabled ? std::optional<Date>(now) : std::nullopt;
}

void ReceivingHealth::update(bool subscribed, bool networkUp, Date now) {
    if (!enabled) {
        return;
    }
    if (subscribed && networkUp) {
        downSince.reset();
    } else if (!downSince) {
        downSince = now;
    }
}

ReceivingState ReceivingHealth::state(Date now) const {
    if (!enabled) {
        return ReceivingState::off;
    }
    if (!downSince) {
        return ReceivingState::receiving;
    }
    if (secondsBetween(*downSince, now) >= grace) {
        return ReceivingState::notReceiving;
    }
    return ReceivingState::reconnecting;
}

} // namespace ostral
