#include <OstralShellKit/CallRegistry.h>

#include <algorithm>
#include <cmath>

namespace ostral {

int ActiveCall::remaining(Date now) const {
    const double left = std::ceil(CallRegistry::ringWindow - secondsBetween(startedAt, now));
    if (!(left > 0)) {
        return 0;
    }
    return static_cast<int>(std::min(left, CallRegistry::ringWindow));
}

void CallRegistry::insert(const LiveCall& call, Date now, double age) {
    if (done.contains(call.id)) {
        return;
    }
    const bool isActive = std::any_of(active.begin(), active.end(), [&call](const auto& entry) {
        return entry.call.id == call.id;
    });
    if (isActive) {
        return;
    }
    // The age comes from outside and may be anything, NaN included: it is judged as a number
    // first, and only an age already known to be small is turned into a date.
    if (call.endedAt.has_value() || !(age < maxAge)) {
        done.insert(call.id);
        return;
    }
    const Date startedAt = age >= 0 ? addingSeconds(now, -age) : now;
    if (!(secondsBetween(startedAt, now) < ringWindow)) {
        done.insert(call.id);
        return;
    }
    // Newest first; a call goes before those that started at the same moment.
    const auto position =
        std::find_if(active.begin(), active.end(),
                     [startedAt](const auto& entry) { return entry.startedAt <= startedAt; });
    active.insert(position, ActiveCall{call, startedAt});
}

void CallRegistry::finish(const Uuid& id) {
    done.insert(id);
    std::erase_if(active, [&id](const ActiveCall& entry) { return entry.call.id == id; });
}

void CallRegistry::prune(Date now) {
    std::vector<Uuid> expired;
    for (const auto& entry : active) {
        if (secondsBetween(entry.startedAt, now) >= ringWindow) {
            expired.push_back(entry.call.id);
        }
    }
    for (const auto& id : expired) {
        finish(id);
    }
}

void CallRegistry::reset() {
    active.clear();
    done.clear();
}

CallOutput CallRegistry::output(const ShellConfig& config, const std::set<std::string>& lines,
                                const std::map<std::string, LineMode>& modes) const {
    CallOutput result;
    if (!config.flags.listener) {
        return result;
    }
    for (const auto& entry : active) {
        const std::string& line = entry.call.line;
        if (!lines.contains(line)) {
            continue;
        }
        const auto policy = config.lines.find(line);
        if (policy == config.lines.end()) {
            continue;
        }
        bool audible = policy->second.audio;
        if (const auto mode = modes.find(line); mode != modes.end()) {
            if (mode->second == LineMode::off) {
                continue;
            }
            if (mode->second == LineMode::silent) {
                audible = false;
            }
        }
        if (config.flags.panel && policy->second.panel) {
            result.panel.push_back(entry);
        }
        if (config.flags.notify && policy->second.notify) {
            result.notify.push_back(entry);
        }
        if (!result.tone && audible && config.flags.ring) {
            result.tone = policy->second.tone;
        }
    }
    return result;
}

} // namespace ostral
