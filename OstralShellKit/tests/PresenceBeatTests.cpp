#include <OstralShellKit/PresenceBeat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

const Date kSent = dateFromUnixSeconds(1714571110);

TEST(PresenceBeat, SendsWhenNothingWasSentOrTheBeatChangedOrTheLastSendIsOld) {
    const PresenceBeat beat{PresenceStatus::receiving, {"Recruiting", "Fleet"}};
    struct Case {
        std::string name;
        std::optional<PresenceBeat> last;
        std::optional<Date> sentAt;
        double secondsLater;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"nothing sent yet", std::nullopt, std::nullopt, 0, true},
        {"a last beat without a send time", beat, std::nullopt, 0, true},
        {"a send time without a last beat", std::nullopt, kSent, 0, true},
        {"unchanged, just sent", beat, kSent, 0, false},
        {"unchanged, 59.9 seconds later", beat, kSent, 59.9, false},
        {"unchanged, 60 seconds later", beat, kSent, 60, true},
        {"unchanged, long after", beat, kSent, 3600, true},
        {"unchanged, clock before the send time", beat, kSent, -30, false},
        {"status changed", PresenceBeat{PresenceStatus::online, beat.lines}, kSent, 1, true},
        {"a line fewer", PresenceBeat{PresenceStatus::receiving, {"Recruiting"}}, kSent, 1, true},
        {"lines in another order", PresenceBeat{PresenceStatus::receiving, {"Fleet", "Recruiting"}},
         kSent, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(
            PresenceBeat::shouldSend(beat, c.last, c.sentAt, addingSeconds(kSent, c.secondsLater)),
            c.expected);
    }
}

TEST(PresenceBeat, AnUnchangedBeatIsResentOnTheFifthQuarterMinuteCheck) {
    // The reporter checks every 15 seconds; the write that happened at the check at 0 completed
    // a moment later, so the check at 60 is still too early.
    const PresenceBeat beat{PresenceStatus::online, {}};
    const Date completed = addingSeconds(kSent, 0.2);
    std::vector<bool> sends;
    for (int check = 1; check <= 5; ++check) {
        sends.push_back(
            PresenceBeat::shouldSend(beat, beat, completed, addingSeconds(kSent, 15.0 * check)));
    }
    EXPECT_EQ(sends, (std::vector<bool>{false, false, false, false, true}));
}

} // namespace
} // namespace ostral
