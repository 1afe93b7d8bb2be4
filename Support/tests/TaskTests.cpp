#include "Probe.h"

#include <Support/Awaitables.h>
#include <Support/Log.h>
#include <Support/MainContext.h>
#include <Support/Task.h>
#include <Support/VirtualTime.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostral::support {
namespace {

using namespace std::chrono_literals;

Task<int> sleepThenReturn(TimerSource& timers, Journal& journal, int value) {
    const Probe probe(journal, "leaf");
    co_await sleepFor(timers, 1s);
    journal.push_back("leaf woke");
    co_return value;
}

Task<int> addOne(TimerSource& timers, Journal& journal, int value) {
    const Probe probe(journal, "middle");
    const int got = co_await sleepThenReturn(timers, journal, value);
    journal.push_back("middle woke");
    co_return got + 1;
}

Task<void> root(TimerSource& timers, Journal& journal, int value, int& out) {
    const Probe probe(journal, "root");
    out = co_await addOne(timers, journal, value);
    journal.push_back("root woke");
}

class TaskTest : public testing::Test {
protected:
    ThreadDefaultContext context_;
    VirtualTime time_;
    Journal journal_;
};

TEST_F(TaskTest, ResultsPassUpAChainOfAwaitedTasks) {
    int out = 0;
    const TaskHandle handle = spawn(root(time_, journal_, 41, out));
    EXPECT_EQ(journal_, (Journal{"enter root", "enter middle", "enter leaf"}))
        << "spawn runs the chain up to its first suspension";
    EXPECT_FALSE(handle.isDone());

    time_.advance(1s);
    EXPECT_EQ(out, 42);
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(journal_,
              (Journal{"enter root", "enter middle", "enter leaf", "leaf woke", "leave leaf",
                       "middle woke", "leave middle", "root woke", "leave root"}));
}

Task<std::string> exclaim(std::string text) {
    co_return text + "!";
}

Task<void> collect(std::vector<std::string>& out) {
    out.push_back(co_await exclaim("a"));
    Task<std::string> kept = exclaim("b");
    out.push_back(co_await std::move(kept));
}

TEST_F(TaskTest, TasksThatNeverSuspendCompleteInsideSpawn) {
    std::vector<std::string> out;
    const TaskHandle handle = spawn(collect(out));
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(out, (std::vector<std::string>{"a!", "b!"}));
}

Task<int> identity(int value) {
    co_return value;
}

Task<void> sumMany(int count, long& sum) {
    for (int i = 0; i < count; ++i) {
        sum += co_await identity(i);
    }
}

TEST_F(TaskTest, ManySynchronousAwaitsDoNotGrowTheStack) {
    long sum = 0;
    spawn(sumMany(300'000, sum));
    EXPECT_EQ(sum, 44'999'850'000L);
}

Task<void> holds(std::shared_ptr<int> token) {
    co_await yield();
    ++*token;
}

TEST_F(TaskTest, ATaskNeverStartedDoesNothingAndFreesItsArguments) {
    auto token = std::make_shared<int>(0);
    {
        Task<void> task = holds(token);
        EXPECT_EQ(token.use_count(), 2);
    }
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_EQ(*token, 0);
}

TEST_F(TaskTest, DroppingTheHandleLeavesTheTaskRunning) {
    int out = 0;
    spawn(root(time_, journal_, 1, out));
    time_.advance(1s);
    EXPECT_EQ(out, 2);
}

TEST_F(TaskTest, CancellingTheSpawnedTaskStopsEveryAwaitedTaskAtOnce) {
    int out = 0;
    const TaskHandle handle = spawn(root(time_, journal_, 1, out));
    EXPECT_EQ(time_.pendingTimers(), 1u);

    handle.cancel();
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(time_.pendingTimers(), 0u) << "the innermost sleep's timer is removed";
    EXPECT_EQ(journal_, (Journal{"enter root", "enter middle", "enter leaf", "leave leaf",
                                 "leave middle", "leave root"}));

    time_.advance(10s);
    EXPECT_EQ(out, 0);
    handle.cancel();
    EXPECT_EQ(journal_.size(), 6u);
}

Task<void> cancelsItselfThenSleeps(TimerSource& timers, const TaskHandle& self, Journal& journal) {
    const Probe probe(journal, "self");
    co_await sleepFor(timers, 1s);
    self.cancel();
    journal.push_back("runs on until it suspends");
    co_await sleepFor(timers, 1s);
    journal.push_back("after the suspension");
}

TEST_F(TaskTest, CancelledWhileRunningStopsAtItsNextSuspension) {
    TaskHandle handle;
    handle = spawn(cancelsItselfThenSleeps(time_, handle, journal_));
    time_.advance(5s);
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(journal_, (Journal{"enter self", "runs on until it suspends", "leave self"}));
    EXPECT_EQ(time_.pendingTimers(), 0u);
}

Task<void> note(Journal& journal, std::string text) {
    journal.push_back(std::move(text));
    co_return;
}

Task<void> cancelsItselfThenAwaitsAChild(TimerSource& timers, const TaskHandle& self,
                                         Journal& journal) {
    co_await sleepFor(timers, 1s);
    self.cancel();
    co_await note(journal, "child ran");
    journal.push_back("parent went on");
}

TEST_F(TaskTest, ACancelledTaskDoesNotStartTheChildItAwaitsNext) {
    TaskHandle handle;
    handle = spawn(cancelsItselfThenAwaitsAChild(time_, handle, journal_));
    time_.advance(1s);
    EXPECT_TRUE(handle.isDone());
    EXPECT_TRUE(journal_.empty());
}

Task<void> cancelsItsChainFromAChild(const TaskHandle& self, Journal& journal) {
    const Probe probe(journal, "parent");
    co_await yield();
    co_await [](const TaskHandle& chain, Journal& j) -> Task<void> {
        chain.cancel();
        j.push_back("child finished");
        co_return;
    }(self, journal);
    journal.push_back("parent resumed");
}

TEST_F(TaskTest, AChainCancelledInsideAChildDoesNotResumeTheParent) {
    TaskHandle handle;
    handle = spawn(cancelsItsChainFromAChild(handle, journal_));
    ASSERT_TRUE(iterateUntil([&] { return handle.isDone(); }));
    EXPECT_EQ(journal_, (Journal{"enter parent", "child finished", "leave parent"}));
}

class Controller : public std::enable_shared_from_this<Controller> {
public:
    Controller(TimerSource& timers, Journal& journal)
        : timers_(timers)
        , journal_(journal) {}
    ~Controller() { journal_.push_back("controller destroyed"); }

    Task<void> poll() {
        const Probe probe(journal_, "poll");
        for (;;) {
            co_await sleepFor(timers_, 15s);
            journal_.push_back("poll " + std::to_string(++polls_));
        }
    }

    Task<void> dropsItselfWhileRunning(std::vector<std::shared_ptr<Controller>>& owners) {
        co_await sleepFor(timers_, 1s);
        owners.clear();
        journal_.push_back("still using this: " + std::to_string(polls_));
        co_await sleepFor(timers_, 1s);
        journal_.push_back("resumed without an owner");
    }

private:
    TimerSource& timers_;
    Journal& journal_;
    int polls_ = 0;
};

TEST_F(TaskTest, AnOwnerBoundTaskEndsQuietlyOnceTheOwnerIsGone) {
    auto controller = std::make_shared<Controller>(time_, journal_);
    const TaskHandle handle = spawn(std::weak_ptr(controller), controller->poll());
    time_.advance(30s);
    controller.reset();
    EXPECT_FALSE(handle.isDone()) << "a suspended task finds out at its next resumption";

    time_.advance(15s);
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(journal_,
              (Journal{"enter poll", "poll 1", "poll 2", "controller destroyed", "leave poll"}));
    EXPECT_EQ(time_.pendingTimers(), 0u);
}

TEST_F(TaskTest, AnOwnerBoundTaskWhoseOwnerIsAlreadyGoneNeverRuns) {
    auto controller = std::make_shared<Controller>(time_, journal_);
    const std::weak_ptr<Controller> weak = controller;
    Task<void> task = controller->poll();
    controller.reset();
    const TaskHandle handle = spawn(weak, std::move(task));
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(journal_, (Journal{"controller destroyed"}));
}

TEST_F(TaskTest, TheOwnerIsHeldWhileItsTaskRuns) {
    std::vector<std::shared_ptr<Controller>> owners{std::make_shared<Controller>(time_, journal_)};
    const TaskHandle handle =
        spawn(std::weak_ptr(owners.front()), owners.front()->dropsItselfWhileRunning(owners));
    time_.advance(5s);
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(journal_, (Journal{"still using this: 0", "controller destroyed"}));
    EXPECT_EQ(time_.pendingTimers(), 0u);
}

TEST_F(TaskTest, AScopedTaskCancelsOnDestructionAndWhenReplaced) {
    int first = 0;
    int second = 0;
    int kept = 0;
    {
        ScopedTask scoped = spawn(root(time_, journal_, 1, first));
        scoped = spawn(root(time_, journal_, 2, second));
        EXPECT_EQ(time_.pendingTimers(), 1u) << "the replaced task was cancelled";

        ScopedTask released = spawn(root(time_, journal_, 3, kept));
        const TaskHandle detached = released.release();
        EXPECT_FALSE(detached.isDone());
    }
    time_.advance(1s);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(kept, 4);
}

Task<void> restart(TimerSource& timers, Journal& journal, TaskHandle previous, std::string name) {
    co_await previous.finished();
    journal.push_back(name + " begins");
    co_await sleepFor(timers, 2s);
    journal.push_back(name + " ends");
}

TEST_F(TaskTest, ChainedTasksWaitForThePreviousOneAndNeverOverlap) {
    TaskHandle latest;
    for (const char* name : {"r1", "r2", "r3"}) {
        latest = spawn(restart(time_, journal_, latest, name));
    }
    time_.advance(1s);
    EXPECT_EQ(journal_, (Journal{"r1 begins"}));
    time_.advance(10s);
    EXPECT_EQ(journal_,
              (Journal{"r1 begins", "r1 ends", "r2 begins", "r2 ends", "r3 begins", "r3 ends"}));
}

TEST_F(TaskTest, WaitingForACancelledTaskResumesWhenItStops) {
    int out = 0;
    const TaskHandle first = spawn(root(time_, journal_, 1, out));
    const TaskHandle second = spawn(restart(time_, journal_, first, "next"));
    first.cancel();
    EXPECT_EQ(journal_.back(), "leave root");
    EXPECT_EQ(std::count(journal_.begin(), journal_.end(), "next begins"), 0)
        << "the waiter resumes on a later iteration, not inside cancel()";
    runPending();
    EXPECT_EQ(journal_.back(), "next begins");
    second.cancel();
}

Task<int> fails() {
    co_await yield();
    throw std::runtime_error("bad row");
}

Task<void> catches(std::string& caught) {
    try {
        co_await fails();
    } catch (const std::runtime_error& error) {
        caught = error.what();
    }
}

TEST_F(TaskTest, AnExceptionPassesFromTheAwaitedTaskToTheAwaitingOne) {
    std::string caught;
    spawn(catches(caught));
    ASSERT_TRUE(iterateUntil([&] { return !caught.empty(); }));
    EXPECT_EQ(caught, "bad row");
}

Task<void> failsAtTop() {
    co_await fails();
}

TEST_F(TaskTest, AnExceptionEscapingASpawnedTaskIsLoggedAndEndsIt) {
    const LogCapture log;
    const TaskHandle handle = spawn(failsAtTop());
    ASSERT_TRUE(iterateUntil([&] { return handle.isDone(); }));
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].level, LogLevel::error);
    EXPECT_EQ(log.entries()[0].message, "task ended by an uncaught exception: bad row");
}

TEST_F(TaskTest, ATaskThatNothingCanResumeAnyMoreIsFreed) {
    auto timers = std::make_unique<VirtualTime>();
    int out = 0;
    TaskHandle handle = spawn(root(*timers, journal_, 1, out));
    timers.reset();
    EXPECT_EQ(journal_.size(), 3u) << "the handle still holds the task";
    handle = TaskHandle();
    EXPECT_EQ(journal_, (Journal{"enter root", "enter middle", "enter leaf", "leave leaf",
                                 "leave middle", "leave root"}));
}

} // namespace
} // namespace ostral::support
