#include <Support/Observable.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostral::support {
namespace {

using Journal = std::vector<std::string>;

TEST(Observable, NotifiesInSubscriptionOrderOnlyWhenTheValueReallyChanges) {
    Observable<std::string> phase("starting");
    Journal journal;
    const Subscription a =
        phase.observe([&](const std::string& v) { journal.push_back("a " + v); });
    const Subscription b =
        phase.observe([&](const std::string& v) { journal.push_back("b " + v); });

    phase.set("starting");
    EXPECT_TRUE(journal.empty());
    phase.set("signedIn");
    phase.set("signedIn");
    EXPECT_EQ(journal, (Journal{"a signedIn", "b signedIn"}));
    EXPECT_EQ(phase.get(), "signedIn");
}

TEST(Observable, ASubscriptionEndsOnDestructionOnUnsubscribeAndWhenReplaced) {
    Observable<int> value(0);
    int calls = 0;
    {
        const Subscription scoped = value.observe([&](int) { ++calls; });
        value.set(1);
    }
    Subscription explicitOne = value.observe([&](int) { ++calls; });
    explicitOne.unsubscribe();
    Subscription replaced = value.observe([&](int) { calls += 100; });
    replaced = value.observe([&](int) { ++calls; });
    Subscription moved = std::move(replaced);

    value.set(2);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(value.observerCount(), 1u);
}

TEST(Observable, ObserversMayChangeTheSubscriptionsDuringANotification) {
    Observable<int> value(0);
    Journal journal;
    std::optional<Subscription> first;
    std::optional<Subscription> second;
    std::optional<Subscription> third;
    std::optional<Subscription> added;
    first = value.observe([&](int v) {
        journal.push_back("first " + std::to_string(v));
        first.reset();
        third.reset();
        added = value.observe([&](int w) { journal.push_back("added " + std::to_string(w)); });
    });
    second = value.observe([&](int v) { journal.push_back("second " + std::to_string(v)); });
    third = value.observe([&](int v) { journal.push_back("third " + std::to_string(v)); });

    value.set(1);
    EXPECT_EQ(journal, (Journal{"first 1", "second 1"}))
        << "an unsubscribed observer is not called; a new one waits for the next change";
    value.set(2);
    EXPECT_EQ(journal, (Journal{"first 1", "second 1", "second 2", "added 2"}));
}

TEST(Observable, ASetFromAnObserverIsAnnouncedAndSupersedesTheOlderValue) {
    Observable<int> value(0);
    Journal journal;
    const Subscription a = value.observe([&](int v) {
        journal.push_back("a " + std::to_string(v));
        if (v == 1) {
            value.set(2);
        }
    });
    const Subscription b =
        value.observe([&](int v) { journal.push_back("b " + std::to_string(v)); });
    value.set(1);
    EXPECT_EQ(journal, (Journal{"a 1", "a 2", "b 2"}));
    EXPECT_EQ(value.get(), 2);
}

TEST(Observable, AnObserverMayDestroyTheObservableAndSubscriptionsMayOutliveIt) {
    auto value = std::make_unique<Observable<int>>(0);
    int later = 0;
    const Subscription destroyer = value->observe([&](int) { value.reset(); });
    const Subscription after = value->observe([&](int) { ++later; });
    value->set(1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(later, 0);
}

TEST(Observable, ObserveAndCallCallsAtOnceWithTheCurrentValue) {
    Observable<bool> receiving(true);
    std::vector<bool> seen;
    const Subscription s = receiving.observeAndCall([&](bool v) { seen.push_back(v); });
    receiving.set(false);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

} // namespace
} // namespace ostral::support
