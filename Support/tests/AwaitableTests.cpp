#include "Probe.h"

#include <Support/AsyncStream.h>
#include <Support/Awaitables.h>
#include <Support/MainContext.h>
#include <Support/Promise.h>
#include <Support/Task.h>
#include <Support/VirtualTime.h>

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace ostral::support {
namespace {

using namespace std::chrono_literals;

class AwaitableTest : public testing::Test {
protected:
    ThreadDefaultContext context_;
    Journal journal_;
};

// --- GIO operations ---

Task<void> loadContents(const std::string& path, Journal& journal) {
    const auto file = adoptGObject(g_file_new_for_path(path.c_str()));
    const GObjectPtr<GAsyncResult> result = co_await gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            g_file_load_contents_async(file.get(), cancellable, callback, userData);
        });
    GCharPtr contents;
    gsize length = 0;
    GErrorPtr error;
    if (g_file_load_contents_finish(file.get(), result.get(), contents.out(), &length, nullptr,
                                    error.out())) {
        journal.push_back("loaded " + std::string(contents.view()));
    } else {
        journal.push_back("failed " + std::to_string(error->code));
    }
}

TEST_F(AwaitableTest, AGioOperationResumesTheTaskWithItsResult) {
    GCharPtr path(g_build_filename(g_get_tmp_dir(), "ostral-support-XXXXXX", nullptr));
    const int fd = g_mkstemp(path.get());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    close(fd);

    struct Case {
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        {path.get(), "loaded hello"},
        {std::string(path.get()) + "-missing", "failed " + std::to_string(G_IO_ERROR_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        journal_.clear();
        const TaskHandle handle = spawn(loadContents(c.path, journal_));
        EXPECT_TRUE(journal_.empty()) << "GIO calls back on a later iteration";
        ASSERT_TRUE(iterateUntil([&] { return handle.isDone(); }));
        EXPECT_EQ(journal_, (Journal{c.expected}));
    }
    g_unlink(path.get());
}

// Stands between GIO and the awaitable to see the callback that arrives after the task is gone.
struct LateCallback {
    GAsyncReadyCallback forwardTo = nullptr;
    gpointer userData = nullptr;
    GObjectPtr<GCancellable> cancellable;
    bool arrived = false;
    bool cancelled = false;

    static void callback(GObject* source, GAsyncResult* result, gpointer self) {
        auto* late = static_cast<LateCallback*>(self);
        late->arrived = true;
        GErrorPtr error;
        GObjectPtr<GSocketConnection> connection(
            g_socket_listener_accept_finish(G_SOCKET_LISTENER(source), result, nullptr,
                                            error.out()),
            kAdopt);
        late->cancelled = g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED);
        late->forwardTo(source, result, late->userData);
    }
};

Task<void> acceptOne(GSocketListener* listener, LateCallback& late, Journal& journal) {
    const Probe probe(journal, "accept");
    co_await gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            late.forwardTo = callback;
            late.userData = userData;
            late.cancellable = retainGObject(cancellable);
            g_socket_listener_accept_async(listener, cancellable, &LateCallback::callback, &late);
        });
    journal.push_back("accepted");
}

TEST_F(AwaitableTest, CancellingAPendingGioOperationCancelsItAndIgnoresTheLateCallback) {
    const auto listener = adoptGObject(g_socket_listener_new());
    GErrorPtr error;
    ASSERT_NE(g_socket_listener_add_any_inet_port(listener.get(), nullptr, error.out()), 0)
        << errorMessage(error);

    LateCallback late;
    const TaskHandle handle = spawn(acceptOne(listener.get(), late, journal_));
    runPending();
    ASSERT_FALSE(handle.isDone()) << "nobody connects, so the accept stays pending";

    handle.cancel();
    EXPECT_EQ(journal_, (Journal{"enter accept", "leave accept"}));
    EXPECT_TRUE(g_cancellable_is_cancelled(late.cancellable.get()));

    ASSERT_TRUE(iterateUntil([&] { return late.arrived; }));
    EXPECT_TRUE(late.cancelled);
    EXPECT_EQ(journal_, (Journal{"enter accept", "leave accept"}));
}

// --- yield ---

Task<void> yieldTwice(Journal& journal) {
    journal.push_back("task before");
    co_await yield();
    journal.push_back("task between");
    co_await yield();
    journal.push_back("task after");
}

TEST_F(AwaitableTest, YieldLetsSourcesThatAreAlreadyReadyRunFirst) {
    const GSourcePtr other(g_idle_source_new(), kAdopt);
    g_source_set_priority(other.get(), G_PRIORITY_DEFAULT);
    g_source_set_callback(
        other.get(),
        [](gpointer journal) -> gboolean {
            static_cast<Journal*>(journal)->push_back("other source");
            return G_SOURCE_REMOVE;
        },
        &journal_, nullptr);
    g_source_attach(other.get(), context_.get());
    const TaskHandle handle = spawn(yieldTwice(journal_));
    EXPECT_EQ(journal_, (Journal{"task before"}));
    ASSERT_TRUE(iterateUntil([&] { return handle.isDone(); }));
    EXPECT_EQ(journal_, (Journal{"task before", "other source", "task between", "task after"}));
}

TEST_F(AwaitableTest, ACancelledYieldNeverResumes) {
    const TaskHandle handle = spawn(yieldTwice(journal_));
    handle.cancel();
    runPending();
    EXPECT_EQ(journal_, (Journal{"task before"}));
}

// --- AsyncStream ---

Task<void> consume(AsyncStream<int> stream, Journal& journal) {
    const Probe probe(journal, "consumer");
    while (const auto value = co_await stream.next()) {
        journal.push_back(std::to_string(*value));
    }
    journal.push_back("end");
}

TEST_F(AwaitableTest, AStreamDeliversInOrderThenEnds) {
    AsyncStream<int> stream;
    stream.push(1);
    const TaskHandle handle = spawn(consume(stream, journal_));
    EXPECT_EQ(journal_, (Journal{"enter consumer", "1"}))
        << "a queued value is taken without suspending";

    stream.push(2);
    stream.push(3);
    EXPECT_EQ(journal_, (Journal{"enter consumer", "1"}))
        << "push never runs the consumer inside the call";
    runPending();
    EXPECT_EQ(journal_, (Journal{"enter consumer", "1", "2", "3"}));

    stream.push(4);
    stream.finish();
    stream.push(5);
    EXPECT_EQ(stream.queued(), 1u) << "pushes after finish() are ignored";
    runPending();
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(journal_, (Journal{"enter consumer", "1", "2", "3", "4", "end", "leave consumer"}));
}

TEST_F(AwaitableTest, AConsumerCancelledWhileWaitingLeavesTheStream) {
    AsyncStream<int> stream;
    const TaskHandle handle = spawn(consume(stream, journal_));
    stream.push(1);
    handle.cancel();
    EXPECT_EQ(journal_, (Journal{"enter consumer", "leave consumer"}));
    stream.push(2);
    runPending();
    EXPECT_EQ(journal_, (Journal{"enter consumer", "leave consumer"}));
    EXPECT_EQ(stream.queued(), 2u);
}

struct Listener {
    Journal& journal;
    Task<void> run(AsyncStream<std::string> events) {
        const Probe probe(journal, "listener");
        while (const auto event = co_await events.next()) {
            journal.push_back(*event);
        }
    }
};

TEST_F(AwaitableTest, AnOwnerBoundConsumerEndsWhenItsOwnerIsGone) {
    AsyncStream<std::string> events;
    auto listener = std::make_shared<Listener>(Listener{journal_});
    const TaskHandle handle = spawn(std::weak_ptr(listener), listener->run(events));
    events.push("first");
    runPending();
    listener.reset();
    events.push("second");
    runPending();
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(journal_, (Journal{"enter listener", "first", "leave listener"}));
}

// The owner keeps its consumer in a ScopedTask: a wait that nobody will ever end is cancelled
// with the owner, instead of keeping the task (and through its weak reference the owner's
// memory) alive for good.
TEST_F(AwaitableTest, AnOwnerHoldingItsConsumerEndsAWaitNobodyWillEnd) {
    struct Owner {
        Journal& journal;
        AsyncStream<std::string> events;
        Listener listener{journal};
        ScopedTask consumer;
    };
    auto owner = std::make_shared<Owner>(Owner{journal_, {}, {journal_}, {}});
    owner->consumer = spawn(std::weak_ptr(owner), owner->listener.run(owner->events));
    const TaskHandle handle = owner->consumer.handle();
    runPending();
    EXPECT_FALSE(handle.isDone());
    owner.reset();
    EXPECT_TRUE(handle.isDone());
    EXPECT_EQ(journal_, (Journal{"enter listener", "leave listener"}));
}

Task<void> relay(TimerSource& timers, AsyncStream<int> stream) {
    for (int i = 1; i <= 3; ++i) {
        co_await sleepFor(timers, 1s);
        stream.push(i);
    }
    stream.finish();
}

Task<void> stamp(const Clock& clock, AsyncStream<int> stream, std::vector<Date>& stamps) {
    while (const auto value = co_await stream.next()) {
        stamps.push_back(clock.now());
    }
}

TEST_F(AwaitableTest, VirtualTimeRunsWakeUpsAtTheVirtualInstant) {
    VirtualTime time;
    const Date start = time.now();
    AsyncStream<int> stream;
    std::vector<Date> stamps;
    spawn(relay(time, stream));
    const TaskHandle consumer = spawn(stamp(time, stream, stamps));
    time.advance(5s);
    EXPECT_TRUE(consumer.isDone());
    EXPECT_EQ(stamps, (std::vector<Date>{start + 1s, start + 2s, start + 3s}));
}

// --- Promise ---

Task<void> awaitAnswer(Promise<std::string> answer, Journal& journal, std::string name) {
    const std::string value = co_await answer.value();
    journal.push_back(name + " got " + value);
}

TEST_F(AwaitableTest, APromiseResumesEveryWaiterOnceWithTheFirstValue) {
    Promise<std::string> answer;
    spawn(awaitAnswer(answer, journal_, "a"));
    const TaskHandle cancelled = spawn(awaitAnswer(answer, journal_, "cancelled"));
    spawn(awaitAnswer(answer, journal_, "b"));
    cancelled.cancel();

    EXPECT_TRUE(answer.set("saved"));
    EXPECT_FALSE(answer.set("again"));
    EXPECT_TRUE(journal_.empty());
    runPending();
    EXPECT_EQ(journal_, (Journal{"a got saved", "b got saved"}));

    const TaskHandle late = spawn(awaitAnswer(answer, journal_, "late"));
    EXPECT_TRUE(late.isDone()) << "a set promise does not suspend";
    EXPECT_EQ(journal_.back(), "late got saved");
}

} // namespace
} // namespace ostral::support
