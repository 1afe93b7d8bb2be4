#pragma once

#include <OstralShellKit/Date.h>

#include <optional>

namespace ostral {

enum class ReceivingState { off, receiving, reconnecting, notReceiving };

// Whether the desk's call feed is healthy, and since when it has not been. An outage is timed
// from its first moment: later reports of the same outage do not move `downSince`.
struct ReceivingHealth {
    // How long the feed may be down before the desk counts as not receiving.
    static constexpr double grace = 20.0;

    bool enabled = false;
    std::optional<Date> downSince;

    bool operator==(const ReceivingHealth&) const = default;

    // A freshly enabled feed counts as down until its first subscription is confirmed.
    void setEnabled(bool isEnabled, Date now);

    void update(bool subscribed, bool networkUp, Date now);

    ReceivingState state(Date now) const;
};

} // namespace ostral
