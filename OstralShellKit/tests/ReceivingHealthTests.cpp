#include <OstralShellKit/ReceivingHealth.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

const Date kStart = dateFromUnixSeconds(1'700'000'000);

Date at(double seconds) {
    return addingSeconds(kStart, seconds);
}

std::string name(ReceivingState state) {
    switch (state) {
    case ReceivingState::off:
        return "off";
    case ReceivingState::receiving:
        return "receiving";
    case ReceivingState::reconnecting:
        return "reconnecting";
    case ReceivingState::notReceiving:
        return "notReceiving";
    }
    return "?";
}

// One step of a feed's life: an event at `time` (or none), then the state read at `time`.
struct Step {
    enum class Event { none, enable, disable, up, subscriptionLost, networkLost, bothLost };
    std::string name;
    double time;
    Event event;
    ReceivingState expected;
    std::optional<double> downSince;
};

void play(const std::vector<Step>& steps) {
    ReceivingHealth health;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const Date now = at(step.time);
        switch (step.event) {
        case Step::Event::none:
            break;
        case Step::Event::enable:
            health.setEnabled(true, now);
            break;
        case Step::Event::disable:
            health.setEnabled(false, now);
            break;
        case Step::Event::up:
            health.update(true, true, now);
            break;
        case Step::Event::subscriptionLost:
            health.update(false, true, now);
            break;
        case Step::Event::networkLost:
            health.update(true, false, now);
            break;
        case Step::Event::bothLost:
            health.update(false, false, now);
            break;
        }
        EXPECT_EQ(name(health.state(now)), name(step.expected));
        EXPECT_EQ(health.downSince,
                  step.downSince ? std::optional<Date>(at(*step.downSince)) : std::nullopt);
    }
}

using Event = Step::Event;
using State = ReceivingState;

TEST(ReceivingHealth, TimesAnOutageFromItsFirstMoment) {
    play({
        {"off before enabling", 0, Event::none, State::off, std::nullopt},
        {"enabling counts as down", 0, Event::enable, State::reconnecting, 0.0},
        {"still reconnecting five seconds on", 5, Event::none, State::reconnecting, 0.0},
        {"subscribed with the network up", 5, Event::up, State::receiving, std::nullopt},
        {"the network drops", 10, Event::networkLost, State::reconnecting, 10.0},
        {"the network returns without the subscription", 12, Event::subscriptionLost,
         State::reconnecting, 10.0},
        {"just inside the grace period", 29.999, Event::none, State::reconnecting, 10.0},
        {"twenty seconds after the drop", 30, Event::none, State::notReceiving, 10.0},
        {"both down later still keeps the first moment", 40, Event::bothLost, State::notReceiving,
         10.0},
        {"back up", 41, Event::up, State::receiving, std::nullopt},
    });
}

TEST(ReceivingHealth, IsOffAndUntouchedWhileDisabled) {
    play({
        {"updates while never enabled are ignored", 0, Event::bothLost, State::off, std::nullopt},
        {"a healthy update while disabled is ignored", 1, Event::up, State::off, std::nullopt},
        {"enabling", 2, Event::enable, State::reconnecting, 2.0},
        {"enabling again changes nothing", 8, Event::enable, State::reconnecting, 2.0},
        {"the grace period runs from the first enabling", 22, Event::none, State::notReceiving,
         2.0},
        {"disabling clears the outage", 23, Event::disable, State::off, std::nullopt},
        {"disabling again changes nothing", 24, Event::disable, State::off, std::nullopt},
        {"an outage while disabled is not recorded", 25, Event::networkLost, State::off,
         std::nullopt},
        {"enabling anew starts a new outage", 60, Event::enable, State::reconnecting, 60.0},
    });
}

TEST(ReceivingHealth, AClockGoneBackBeforeTheOutageIsStillReconnecting) {
    ReceivingHealth health;
    health.setEnabled(true, at(100));
    EXPECT_EQ(health.state(at(50)), ReceivingState::reconnecting);
}

} // namespace
} // namespace ostral
