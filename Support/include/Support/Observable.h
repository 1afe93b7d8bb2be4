#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace ostral::support {

namespace detail {

class ObserverRegistry {
public:
    virtual ~ObserverRegistry() = default;
    virtual void remove(std::uint64_t id) noexcept = 0;
};

} // namespace detail

// Keeps an observer registered for as long as it lives (or until unsubscribe()). Movable;
// assigning another subscription drops the current one first. Outliving the observed value is
// fine: it then does nothing.
class [[nodiscard]] Subscription {
public:
    Subscription() = default;
    Subscription(std::weak_ptr<detail::ObserverRegistry> registry, std::uint64_t id) noexcept
        : registry_(std::move(registry))
        , id_(id) {}
    Subscription(Subscription&& other) noexcept
        : registry_(std::move(other.registry_))
        , id_(std::exchange(other.id_, 0)) {}
    Subscription& operator=(Subscription&& other) noexcept;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { unsubscribe(); }

    void unsubscribe() noexcept;

private:
    std::weak_ptr<detail::ObserverRegistry> registry_;
    std::uint64_t id_ = 0;
};

// A value that tells its observers when it really changes (operator== decides). Main thread only.
//
// Observers run in subscription order, each with the new value. During a notification an
// observer may unsubscribe itself or others (those are not called any more), subscribe new ones
// (they are not called for the change in progress), set the value again (the remaining observers
// then see only the newer value, which is announced to everyone), or destroy the Observable.
//
//     Subscription phaseSubscription_ =
//         session.phase().observe([weak = weak_from_this()](const Phase& phase) { ... });
template <typename T>
class Observable {
public:
    using Observer = std::function<void(const T&)>;

    Observable() requires std::default_initializable<T> : Observable(T{}) {}
    explicit Observable(T initial)
        : value_(std::move(initial))
        , registry_(std::make_shared<Registry>()) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;
    ~Observable() { registry_->alive = false; }

    const T& get() const noexcept { return value_; }

    void set(T value) {
        if (value == value_) {
            return;
        }
        value_ = std::move(value);
        const auto registry = registry_;
        const std::uint64_t generation = ++registry->generation;
        const T current = value_;
        const auto observers = registry->entries;
        for (const auto& entry : observers) {
            if (!registry->alive || registry->generation != generation) {
                return;
            }
            if (registry->contains(entry.id)) {
                (*entry.observer)(current);
            }
        }
    }

    Subscription observe(Observer observer) {
        const std::uint64_t id = registry_->nextId++;
        registry_->entries.push_back({id, std::make_shared<Observer>(std::move(observer))});
        return Subscription(registry_, id);
    }

    // Subscribes, then calls the observer once at once with the current value.
    Subscription observeAndCall(Observer observer) {
        auto shared = std::make_shared<Observer>(std::move(observer));
        Subscription subscription = observe([shared](const T& value) { (*shared)(value); });
        const T current = value_;
        (*shared)(current);
        return subscription;
    }

    std::size_t observerCount() const noexcept { return registry_->entries.size(); }

private:
    struct Registry final : detail::ObserverRegistry {
        struct Entry {
            std::uint64_t id;
            // Shared so that an observer that unsubscribes itself is not destroyed while it runs.
            std::shared_ptr<Observer> observer;
        };
        std::vector<Entry> entries;
        std::uint64_t nextId = 1;
        std::uint64_t generation = 0;
        bool alive = true;

        void remove(std::uint64_t id) noexcept override {
            std::erase_if(entries, [id](const Entry& entry) { return entry.id == id; });
        }
        bool contains(std::uint64_t id) const noexcept {
            for (const auto& entry : entries) {
                if (entry.id == id) {
                    return true;
                }
            }
            return false;
        }
    };

    T value_;
    std::shared_ptr<Registry> registry_;
};

} // namespace ostral::support
