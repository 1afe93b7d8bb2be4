#pragma once

#include <OstralShellKit/Date.h>
#include <OstralShellKit/LineMode.h>
#include <OstralShellKit/LiveCall.h>
#include <OstralShellKit/RingTone.h>
#include <OstralShellKit/ShellConfig.h>
#include <OstralShellKit/Uuid.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ostral {

// A call ringing on this desk, with the moment the desk counts its ringing from.
struct ActiveCall {
    LiveCall call;
    Date startedAt;

    bool operator==(const ActiveCall&) const = default;

    // Whole seconds of ringing left at `now`, rounded up, from 30 down to 0. Should the clock
    // have gone back before `startedAt`, the countdown stays at 30 rather than growing.
    int remaining(Date now) const;
};

// What the desk does about the ringing calls: the cards to show, the tone to play (none means
// silence) and the calls to notify, all in registry order.
struct CallOutput {
    std::vector<ActiveCall> panel;
    std::optional<RingTone> tone;
    std::vector<ActiveCall> notify;

    bool operator==(const CallOutput&) const = default;

    static CallOutput empty() { return CallOutput{}; }
};

// The calls ringing now, newest first, and the ids of every call that has finished, expired or
// been refused since the last reset. A call in `done` is never admitted again.
struct CallRegistry {
    // A call rings for at most this many seconds after it started.
    static constexpr double ringWindow = 30.0;
    // A call reported at this age or older is never admitted.
    static constexpr double maxAge = 60.0;

    std::vector<ActiveCall> active;
    std::set<Uuid> done;

    bool operator==(const CallRegistry&) const = default;

    // Admits a newly reported call that started ringing `age` seconds before `now` (0 for a live
    // report, negative counts as 0), or records it as done when it has ended or is too old to
    // ring. A call already active or done is left as it is.
    void insert(const LiveCall& call, Date now, double age);

    // The call has ended or was acknowledged; its id stays done even if it was never reported.
    void finish(const Uuid& id);

    // Finishes every call whose ringing window has run out at `now`.
    void prune(Date now);

    void reset();

    // What to do about the active calls for a staff member assigned `lines` (none when there is
    // no preference row), with their stored line modes.
    CallOutput output(const ShellConfig& config, const std::set<std::string>& lines,
                      const std::map<std::string, LineMode>& modes) const;
};

} // namespace ostral
