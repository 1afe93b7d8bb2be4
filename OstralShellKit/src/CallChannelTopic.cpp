#include <OstralShellKit/CallChannelTopic.h>

namespace ostral::CallChannelTopic {

std::string topic(const Uuid& userId, const Uuid& instance) {
    return "mac-calls-" + userId.lowercased() + "-" + instance.lowercased().substr(0, 8);
}

} // namespace ostral::CallChannelTopic
