#include <OstralShellKit/PresenceStatus.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace ostral {
namespace {

TEST(PresenceStatus, DerivesAwayThenReceivingThenOnline) {
    const std::vector<std::string> lines = {"Recruiting", "Fleet"};
    const double awaySeconds = 15 * 60.0;
    struct Case {
        std::string name;
        bool locked;
        bool receiving;
        std::vector<std::string> lines;
        double idleSeconds;
        PresenceStatus expected;
    };
    const std::vector<Case> cases = {
        {"receiving with ringing lines", false, true, lines, 10, PresenceStatus::receiving},
        {"receiving without ringing lines", false, true, {}, 10, PresenceStatus::online},
        {"not receiving", false, false, lines, 10, PresenceStatus::online},
        {"locked while receiving", true, true, lines, 0, PresenceStatus::away},
        {"locked while not receiving", true, false, {}, 0, PresenceStatus::away},
        {"idle exactly the away time", false, true, lines, 900, PresenceStatus::away},
        {"idle just under the away time", false, true, lines, 899.9, PresenceStatus::receiving},
        {"idle far beyond the away time", false, false, {}, 1e9, PresenceStatus::away},
        {"unknown idle time is not away", false, true, lines, std::nan(""),
         PresenceStatus::receiving},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(
            PresenceStatus::derive(c.locked, c.receiving, c.lines, c.idleSeconds, awaySeconds),
            c.expected);
    }
}

TEST(PresenceStatus, AZeroAwayTimeMakesEveryDeskAway) {
    EXPECT_EQ(PresenceStatus::derive(false, true, {"Fleet"}, 0, 0), PresenceStatus::away);
}

TEST(PresenceStatus, RawValuesRoundTrip) {
    for (PresenceStatus status :
         {PresenceStatus::receiving, PresenceStatus::online, PresenceStatus::away}) {
        EXPECT_EQ(PresenceStatus::fromRawValue(status.rawValue()), status);
    }
    EXPECT_EQ(PresenceStatus(PresenceStatus::receiving).rawValue(), "receiving");
    EXPECT_EQ(PresenceStatus(PresenceStatus::online).rawValue(), "online");
    EXPECT_EQ(PresenceStatus(PresenceStatus::away).rawValue(), "away");
    EXPECT_EQ(PresenceStatus::fromRawValue("Away"), std::nullopt);
    EXPECT_EQ(PresenceStatus::fromRawValue(""), std::nullopt);
}

} // namespace
} // namespace ostral
