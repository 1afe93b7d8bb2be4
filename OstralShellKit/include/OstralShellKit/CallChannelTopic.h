#pragma once

#include <OstralShellKit/Uuid.h>

#include <string>

namespace ostral::CallChannelTopic {

// The topic of the call listener's realtime channel: "mac-calls-", the user id, "-" and the
// first 8 characters of `instance`, all in lower case. The listener passes a fresh instance id
// on every start, so each start subscribes on a topic of its own.
std::string topic(const Uuid& userId, const Uuid& instance);

} // namespace ostral::CallChannelTopic
