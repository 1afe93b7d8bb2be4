#include <Support/Clock.h>
#include <Support/MainContext.h>
#include <Support/Timer.h>
#include <Support/VirtualTime.h>

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace ostral::support {
namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;

TEST(SaturatingMicroseconds, RoundsUpAndHoldsTheEnds) {
    EXPECT_EQ(saturatingMicroseconds(1500ns), 2us);
    EXPECT_EQ(saturatingMicroseconds(std::chrono::duration<double>(0.25)), 250000us);
    EXPECT_EQ(saturatingMicroseconds(std::chrono::hours::max()), microseconds::max());
    EXPECT_EQ(saturatingMicroseconds(std::chrono::hours::min()), microseconds::min());
    EXPECT_EQ(saturatingMicroseconds(std::chrono::duration<double>(1e300)), microseconds::max());
    EXPECT_EQ(saturatingMicroseconds(
                  std::chrono::duration<double>(std::numeric_limits<double>::quiet_NaN())),
              0us);
}

TEST(SystemClock, ReadsTheWallClock) {
    const auto before = g_get_real_time();
    const auto now = SystemClock().now().time_since_epoch().count();
    EXPECT_GE(now, before);
    EXPECT_LE(now, g_get_real_time());
}

struct Firing {
    std::string name;
    Date at;
    bool operator==(const Firing&) const = default;
};

class VirtualTimeTest : public testing::Test {
protected:
    ThreadDefaultContext context_;
    VirtualTime time_;
    const Date start_ = time_.now();
    std::vector<Firing> fired_;

    std::function<void()> record(const std::string& name) {
        return [this, name] { fired_.push_back({name, time_.now()}); };
    }
};

TEST_F(VirtualTimeTest, FiresDueTimersInDueOrderWithTheClockAtEachDueTime) {
    time_.schedule(3s, record("c"));
    time_.schedule(1s, record("a"));
    time_.schedule(2s, record("b1"));
    time_.schedule(2s, record("b2"));
    time_.schedule(5s, record("late"));

    time_.advance(3s);

    EXPECT_EQ(
        fired_,
        (std::vector<Firing>{
            {"a", start_ + 1s}, {"b1", start_ + 2s}, {"b2", start_ + 2s}, {"c", start_ + 3s}}));
    EXPECT_EQ(time_.now(), start_ + 3s);
    EXPECT_EQ(time_.pendingTimers(), 1u);
    EXPECT_EQ(time_.nextDueIn(), microseconds(2s));
}

TEST_F(VirtualTimeTest, TimersScheduledDuringAnAdvanceFireWhenDueWithinIt) {
    time_.schedule(1s, [this] {
        record("first")();
        time_.schedule(0s, record("now"));
        time_.schedule(500ms, record("soon"));
        time_.schedule(10s, record("beyond"));
    });
    time_.advance(2s);
    EXPECT_EQ(fired_,
              (std::vector<Firing>{
                  {"first", start_ + 1s}, {"now", start_ + 1s}, {"soon", start_ + 1500ms}}));
    EXPECT_EQ(time_.now(), start_ + 2s);
    EXPECT_EQ(time_.pendingTimers(), 1u);
}

TEST_F(VirtualTimeTest, CancelledTimersNeverFire) {
    const TimerId cancelledBefore = time_.schedule(1s, record("cancelled"));
    TimerId cancelledByOther = 0;
    time_.schedule(1s, [&] { time_.cancel(cancelledByOther); });
    cancelledByOther = time_.schedule(2s, record("cancelled by another"));
    time_.cancel(cancelledBefore);
    time_.cancel(cancelledBefore);
    time_.cancel(12345);

    time_.advance(5s);
    EXPECT_TRUE(fired_.empty());
    EXPECT_EQ(time_.pendingTimers(), 0u);
}

TEST_F(VirtualTimeTest, AdvanceToNextStopsAtTheEarliestDueTime) {
    EXPECT_FALSE(time_.advanceToNext());
    EXPECT_EQ(time_.now(), start_);

    time_.schedule(7s, record("x"));
    time_.schedule(7s, record("y"));
    time_.schedule(9s, record("z"));
    EXPECT_TRUE(time_.advanceToNext());
    EXPECT_EQ(fired_, (std::vector<Firing>{{"x", start_ + 7s}, {"y", start_ + 7s}}));
    EXPECT_EQ(time_.now(), start_ + 7s);
}

TEST_F(VirtualTimeTest, NegativeAndHugeDelaysAreHeld) {
    time_.schedule(-5s, record("negative"));
    time_.schedule(microseconds::max(), record("huge"));
    time_.advance(0s);
    EXPECT_EQ(fired_, (std::vector<Firing>{{"negative", start_}}));
    time_.advance(microseconds::max());
    EXPECT_EQ(fired_.size(), 2u);
}

TEST_F(VirtualTimeTest, JumpingTheClockMovesNowButNotTheTimers) {
    time_.schedule(10s, record("t"));
    time_.jumpClock(-1h);
    EXPECT_EQ(time_.now(), start_ - 1h);
    time_.advance(9s);
    EXPECT_TRUE(fired_.empty());
    time_.advance(1s);
    EXPECT_EQ(fired_, (std::vector<Firing>{{"t", start_ - 1h + 10s}}));
}

TEST_F(VirtualTimeTest, DestroyingTheSourceDropsPendingCallbacksUnrun) {
    auto time = std::make_unique<VirtualTime>();
    auto token = std::make_shared<int>(0);
    time->schedule(1s, [token] { FAIL() << "must not run"; });
    time.reset();
    EXPECT_EQ(token.use_count(), 1);
}

TEST_F(VirtualTimeTest, TimerFiresOnceAndCancelsOnDestruction) {
    int fired = 0;
    {
        Timer timer(time_, 2s, [&] { ++fired; });
        EXPECT_TRUE(timer.isActive());
        time_.advance(1s);
    }
    time_.advance(5s);
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(time_.pendingTimers(), 0u);

    Timer timer(time_, 2s, [&] { ++fired; });
    time_.advance(2s);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer.isActive());
    time_.advance(10s);
    EXPECT_EQ(fired, 1);
}

TEST_F(VirtualTimeTest, TimerStartReplacesThePendingFiringAndMayRestartFromItsCallback) {
    std::vector<std::string> fired;
    Timer timer;
    timer.start(time_, 1s, [&] { fired.push_back("replaced"); });
    timer.start(time_, 2s, [&] {
        fired.push_back("first");
        timer.start(time_, 1s, [&] { fired.push_back("again"); });
    });
    time_.advance(5s);
    EXPECT_EQ(fired, (std::vector<std::string>{"first", "again"}));
}

TEST_F(VirtualTimeTest, RepeatingTimerFiresEveryIntervalAfterEachCallback) {
    RepeatingTimer ticker(time_, 1s, record("tick"));
    time_.advance(3500ms);
    EXPECT_EQ(fired_, (std::vector<Firing>{
                          {"tick", start_ + 1s}, {"tick", start_ + 2s}, {"tick", start_ + 3s}}));
    EXPECT_EQ(time_.pendingTimers(), 1u);
    ticker.stop();
    EXPECT_FALSE(ticker.isRunning());
    EXPECT_EQ(time_.pendingTimers(), 0u);
}

TEST_F(VirtualTimeTest, RepeatingTimerStoppedOrDestroyedFromItsOwnCallbackStops) {
    struct Case {
        const char* name;
        bool destroy;
    };
    for (const Case& c : {Case{"stop", false}, Case{"destroy", true}}) {
        SCOPED_TRACE(c.name);
        int ticks = 0;
        auto ticker = std::make_unique<RepeatingTimer>();
        ticker->start(time_, 1s, [&] {
            if (++ticks == 2) {
                if (c.destroy) {
                    ticker.reset();
                } else {
                    ticker->stop();
                }
            }
        });
        time_.advance(10s);
        EXPECT_EQ(ticks, 2);
        EXPECT_EQ(time_.pendingTimers(), 0u);
    }
}

TEST_F(VirtualTimeTest, RepeatingTimerRestartedFromItsCallbackRunsTheNewSchedule) {
    RepeatingTimer ticker;
    ticker.start(time_, 1s, [&] {
        record("old")();
        ticker.start(time_, 3s, record("new"));
    });
    time_.advance(7s);
    EXPECT_EQ(fired_, (std::vector<Firing>{
                          {"old", start_ + 1s}, {"new", start_ + 4s}, {"new", start_ + 7s}}));
    EXPECT_EQ(time_.pendingTimers(), 1u);
}

TEST_F(VirtualTimeTest, MovedTimersKeepTheirSchedule) {
    int ticks = 0;
    RepeatingTimer first(time_, 1s, [&] { ++ticks; });
    RepeatingTimer second = std::move(first);
    time_.advance(2s);
    EXPECT_EQ(ticks, 2);
    second = RepeatingTimer();
    time_.advance(2s);
    EXPECT_EQ(ticks, 2);
}

class MainLoopTimerSourceTest : public testing::TestWithParam<TimerClock> {
protected:
    ThreadDefaultContext context_;
};

TEST_P(MainLoopTimerSourceTest, FiresInDeadlineOrderAndNotCancelledOnes) {
    MainLoopTimerSource source(GetParam());
    std::vector<std::string> fired;
    source.schedule(6ms, [&] { fired.push_back("third"); });
    source.schedule(0ms, [&] { fired.push_back("first"); });
    const TimerId cancelled = source.schedule(1ms, [&] { fired.push_back("cancelled"); });
    source.schedule(3ms, [&] { fired.push_back("second"); });
    source.cancel(cancelled);
    EXPECT_TRUE(fired.empty()) << "callbacks never run inside schedule()";

    ASSERT_TRUE(iterateUntil([&] { return fired.size() == 3; }));
    EXPECT_EQ(fired, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(source.pendingTimers(), 0u);
}

TEST_P(MainLoopTimerSourceTest, ACallbackMayDestroyTheSourceAndDestructionDropsPendingTimers) {
    auto source = std::make_unique<MainLoopTimerSource>(GetParam());
    bool fired = false;
    auto token = std::make_shared<int>(0);
    source->schedule(1ms, [&] {
        fired = true;
        source.reset();
    });
    source->schedule(1h, [token] {});
    ASSERT_TRUE(iterateUntil([&] { return fired; }));
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(token.use_count(), 1);
}

TEST_P(MainLoopTimerSourceTest, DrivesRepeatingTimers) {
    MainLoopTimerSource source(GetParam());
    int ticks = 0;
    RepeatingTimer ticker(source, 1ms, [&] {
        if (++ticks == 3) {
            ticker.stop();
        }
    });
    ASSERT_TRUE(iterateUntil([&] { return ticks == 3; }));
    EXPECT_EQ(source.pendingTimers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Clocks, MainLoopTimerSourceTest,
                         testing::Values(TimerClock::continuous, TimerClock::monotonic),
                         [](const auto& param) {
                             return param.param == TimerClock::continuous ? "continuous"
                                                                          : "monotonic";
                         });

} // namespace
} // namespace ostral::support
