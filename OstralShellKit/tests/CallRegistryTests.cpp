#include "Printers.h"

#include <OstralShellKit/CallRegistry.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace ostral {
namespace {

const Date kNow = dateFromUnixSeconds(1'700'000'000);

Date at(double seconds) {
    return addingSeconds(kNow, seconds);
}

Uuid callId(std::uint8_t number) {
    Uuid::Bytes bytes{};
    bytes[0] = 0xca;
    bytes[15] = number;
    return Uuid(bytes);
}

LiveCall call(std::uint8_t number, std::string line = "a") {
    LiveCall value{};
    value.id = callId(number);
    value.createdAt = kNow;
    value.line = std::move(line);
    value.callerNumber = "+15550100";
    return value;
}

std::vector<Uuid> activeIds(const CallRegistry& registry) {
    std::vector<Uuid> ids;
    for (const auto& entry : registry.active) {
        ids.push_back(entry.call.id);
    }
    return ids;
}

TEST(CallRegistry, AdmitsFreshCallsAndRefusesOldOrEndedOnes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        std::string name;
        double age;
        bool ended;
        std::optional<double> startedAgo; // none: refused into done
        int remaining = 0;
    };
    const std::vector<Case> cases = {
        {"a live report", 0.0, false, 0.0, 30},
        {"a catch-up call of 25 seconds", 25.0, false, 25.0, 5},
        {"a catch-up call just inside the ring window", 29.999, false, 29.999, 1},
        {"exactly the ring window", 30.0, false, std::nullopt},
        {"59 seconds", 59.0, false, std::nullopt},
        {"the maximum age", 60.0, false, std::nullopt},
        {"a huge age", 1e300, false, std::nullopt},
        {"an infinite age", infinity, false, std::nullopt},
        {"an age that is not a number", nan, false, std::nullopt},
        {"a negative age counts from now", -5.0, false, 0.0, 30},
        {"a hugely negative age counts from now", -1e300, false, 0.0, 30},
        {"a negative infinite age counts from now", -infinity, false, 0.0, 30},
        {"a call that has ended", 0.0, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LiveCall reported = call(1);
        if (c.ended) {
            reported.endedAt = kNow;
        }
        CallRegistry registry;
        registry.insert(reported, kNow, c.age);
        if (c.startedAgo) {
            ASSERT_EQ(registry.active.size(), 1u);
            EXPECT_EQ(registry.active[0].call, reported);
            EXPECT_EQ(registry.active[0].startedAt, at(-*c.startedAgo));
            EXPECT_EQ(registry.active[0].remaining(kNow), c.remaining);
            EXPECT_TRUE(registry.done.empty());
        } else {
            EXPECT_TRUE(registry.active.empty());
            EXPECT_EQ(registry.done, std::set<Uuid>{reported.id});
        }
    }
}

TEST(CallRegistry, ARefusedCallStaysRefused) {
    CallRegistry registry;
    LiveCall ended = call(1);
    ended.endedAt = kNow;
    registry.insert(ended, kNow, 0);
    registry.insert(call(1), kNow, 0);
    EXPECT_TRUE(registry.active.empty());

    registry.insert(call(2), kNow, 45);
    registry.insert(call(2), at(1), 0);
    EXPECT_TRUE(registry.active.empty());
    EXPECT_EQ(registry.done, (std::set<Uuid>{callId(1), callId(2)}));
}

TEST(CallRegistry, ARepeatedReportKeepsTheCountdown) {
    CallRegistry registry;
    registry.insert(call(1), kNow, 0);
    registry.insert(call(1), at(10), 0);
    registry.insert(call(1), at(12), 3);
    ASSERT_EQ(registry.active.size(), 1u);
    EXPECT_EQ(registry.active[0].startedAt, kNow);
    EXPECT_EQ(registry.active[0].remaining(at(12)), 18);
}

TEST(CallRegistry, FinishRemovesTheCallAndRefusesItsReturn) {
    CallRegistry registry;
    registry.insert(call(1), kNow, 0);
    registry.insert(call(2), kNow, 0);
    registry.finish(callId(1));
    EXPECT_EQ(activeIds(registry), std::vector<Uuid>{callId(2)});
    registry.insert(call(1), at(1), 0);
    EXPECT_EQ(activeIds(registry), std::vector<Uuid>{callId(2)});

    registry.finish(callId(9));
    registry.insert(call(9), at(2), 0);
    EXPECT_EQ(activeIds(registry), std::vector<Uuid>{callId(2)});
    EXPECT_EQ(registry.done, (std::set<Uuid>{callId(1), callId(9)}));
}

TEST(CallRegistry, KeepsActiveCallsNewestFirst) {
    CallRegistry registry;
    registry.insert(call(1), kNow, 10);   // started at -10
    registry.insert(call(2), kNow, 0);    // started at 0
    registry.insert(call(3), kNow, 20);   // started at -20
    registry.insert(call(4), kNow, 5);    // started at -5
    registry.insert(call(5), kNow, 10);   // the same start as call 1, so before it
    registry.insert(call(6), at(-1), -3); // started at -1
    EXPECT_EQ(activeIds(registry), (std::vector<Uuid>{callId(2), callId(6), callId(4), callId(5),
                                                      callId(1), callId(3)}));
}

TEST(CallRegistry, PruneFinishesCallsOnceTheirRingWindowHasRunOut) {
    CallRegistry registry;
    registry.insert(call(1), kNow, 0);
    registry.insert(call(2), kNow, 10);

    registry.prune(at(19.999));
    EXPECT_EQ(activeIds(registry), (std::vector<Uuid>{callId(1), callId(2)}));
    registry.prune(at(20));
    EXPECT_EQ(activeIds(registry), std::vector<Uuid>{callId(1)});
    registry.prune(at(29.999));
    EXPECT_EQ(activeIds(registry), std::vector<Uuid>{callId(1)});
    registry.prune(at(30));
    EXPECT_TRUE(registry.active.empty());
    EXPECT_EQ(registry.done, (std::set<Uuid>{callId(1), callId(2)}));

    registry.insert(call(1), at(31), 0);
    EXPECT_TRUE(registry.active.empty());
}

TEST(CallRegistry, ResetForgetsEverything) {
    CallRegistry registry;
    registry.insert(call(1), kNow, 0);
    registry.finish(callId(2));
    registry.reset();
    EXPECT_EQ(registry, CallRegistry{});
    registry.insert(call(2), at(1), 0);
    EXPECT_EQ(activeIds(registry), std::vector<Uuid>{callId(2)});
}

TEST(ActiveCall, RemainingCountsWholeSecondsDown) {
    struct Case {
        std::string name;
        double elapsed;
        int remaining;
    };
    const std::vector<Case> cases = {
        {"at the start", 0.0, 30},
        {"half a second in", 0.5, 30},
        {"one second in", 1.0, 29},
        {"a microsecond short of the end", 29.999999, 1},
        {"at the end", 30.0, 0},
        {"long after", 3600.0, 0},
        {"centuries after", 1e10, 0},
        {"the clock gone back", -10.0, 30},
        {"the clock gone back centuries", -1e10, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ActiveCall active{call(1), kNow};
        EXPECT_EQ(active.remaining(at(c.elapsed)), c.remaining);
    }
}

// Lines a and c ring aloud, b has no audio, q is shown but never notified, r is notified but
// never shown.
ShellConfig outputConfig() {
    ShellConfig config = ShellConfig::standard();
    config.lines = {
        {"a", {"A", true, RingTone::recruiting, true, true}},
        {"b", {"B", false, RingTone::recruiting, true, true}},
        {"c", {"C", true, RingTone::fleet, true, true}},
        {"q", {"Q", true, RingTone::fleet, true, false}},
        {"r", {"R", true, RingTone::recruiting, false, true}},
    };
    return config;
}

TEST(CallRegistry, OutputFollowsLinesModesPoliciesAndFlags) {
    using Modes = std::map<std::string, LineMode>;
    const std::set<std::string> allLines{"a", "b", "c", "q", "r", "x"};
    struct Case {
        std::string name;
        std::vector<std::string> callLines; // newest first
        std::set<std::string> assigned;
        Modes modes;
        ShellFlags flags;
        std::vector<std::size_t> panel; // indexes into callLines
        std::optional<RingTone> tone;
        std::vector<std::size_t> notify;
    };
    const std::vector<Case> cases = {
        {"silent, mute and audible lines all show; the audible one rings",
         {"a", "b", "c"},
         allLines,
         {{"a", LineMode::silent}},
         ShellFlags::standard,
         {0, 1, 2},
         RingTone::fleet,
         {0, 1, 2}},
        {"the newest audible call sets the tone",
         {"b", "a", "c"},
         allLines,
         {},
         ShellFlags::standard,
         {0, 1, 2},
         RingTone::recruiting,
         {0, 1, 2}},
        {"a call on an off line does nothing",
         {"c"},
         allLines,
         {{"c", LineMode::off}},
         ShellFlags::standard,
         {},
         std::nullopt,
         {}},
        {"an off line leaves the others alone",
         {"c", "a"},
         allLines,
         {{"c", LineMode::off}},
         ShellFlags::standard,
         {1},
         RingTone::recruiting,
         {1}},
        {"a silent line shows and notifies without a tone",
         {"a"},
         allLines,
         {{"a", LineMode::silent}},
         ShellFlags::standard,
         {0},
         std::nullopt,
         {0}},
        {"a stored ring rings only a line with audio",
         {"b", "a"},
         allLines,
         {{"a", LineMode::ring}, {"b", LineMode::ring}},
         ShellFlags::standard,
         {0, 1},
         RingTone::recruiting,
         {0, 1}},
        {"a mute line alone shows without a tone",
         {"b"},
         allLines,
         {},
         ShellFlags::standard,
         {0},
         std::nullopt,
         {0}},
        {"the listener switched off empties everything",
         {"a", "c"},
         allLines,
         {},
         ShellFlags{false, true, true, true},
         {},
         std::nullopt,
         {}},
        {"ringing switched off keeps panel and notifications",
         {"a", "c"},
         allLines,
         {},
         ShellFlags{true, false, true, true},
         {0, 1},
         std::nullopt,
         {0, 1}},
        {"the panel switched off",
         {"a", "c"},
         allLines,
         {},
         ShellFlags{true, true, false, true},
         {},
         RingTone::recruiting,
         {0, 1}},
        {"notifications switched off",
         {"a", "c"},
         allLines,
         {},
         ShellFlags{true, true, true, false},
         {0, 1},
         RingTone::recruiting,
         {}},
        {"a line whose policy keeps it off the panel, and one never notified",
         {"r", "q"},
         allLines,
         {},
         ShellFlags::standard,
         {1},
         RingTone::recruiting,
         {0}},
        {"a line the configuration does not know",
         {"x", "c"},
         allLines,
         {},
         ShellFlags::standard,
         {1},
         RingTone::fleet,
         {1}},
        {"a line not assigned to the staff member",
         {"a", "c"},
         {"c"},
         {},
         ShellFlags::standard,
         {1},
         RingTone::fleet,
         {1}},
        {"no assigned lines get nothing",
         {"a", "c"},
         {},
         {},
         ShellFlags::standard,
         {},
         std::nullopt,
         {}},
        {"no calls", {}, allLines, {}, ShellFlags::standard, {}, std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CallRegistry registry;
        // Inserted oldest first, a second apart, so that the list reads newest first.
        for (std::size_t index = c.callLines.size(); index-- > 0;) {
            registry.insert(call(static_cast<std::uint8_t>(index), c.callLines[index]),
                            at(static_cast<double>(c.callLines.size() - index)), 0);
        }
        ASSERT_EQ(registry.active.size(), c.callLines.size());
        ShellConfig config = outputConfig();
        config.flags = c.flags;

        CallOutput expected;
        for (const std::size_t index : c.panel) {
            expected.panel.push_back(registry.active[index]);
        }
        for (const std::size_t index : c.notify) {
            expected.notify.push_back(registry.active[index]);
        }
        expected.tone = c.tone;
        EXPECT_EQ(registry.output(config, c.assigned, c.modes), expected);
    }
}

TEST(CallRegistry, OfTwoCallsStartedTogetherTheLaterReportComesFirstAndRings) {
    CallRegistry registry;
    registry.insert(call(1, "a"), kNow, 0);
    registry.insert(call(2, "c"), kNow, 0);
    EXPECT_EQ(activeIds(registry), (std::vector<Uuid>{callId(2), callId(1)}));
    const CallOutput output = registry.output(outputConfig(), {"a", "c"}, {});
    EXPECT_EQ(output.tone, RingTone::fleet);
    EXPECT_EQ(output.panel, registry.active);
}

TEST(CallOutput, EmptyHasNothing) {
    EXPECT_TRUE(CallOutput::empty().panel.empty());
    EXPECT_TRUE(CallOutput::empty().notify.empty());
    EXPECT_EQ(CallOutput::empty().tone, std::nullopt);
    EXPECT_EQ(CallOutput::empty(), CallOutput{});
}

} // namespace
} // namespace ostral
