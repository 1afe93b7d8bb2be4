#include <Support/TimerSource.h>

namespace ostral::support {

TimerId TimerQueue::add(Due due, std::function<void()> callback) {
    const TimerId id = ++lastId_;
    timers_.emplace(Key{due, id}, std::move(callback));
    dues_.emplace(id, due);
    return id;
}

std::optional<std::function<void()>> TimerQueue::remove(TimerId id) {
    const auto due = dues_.find(id);
    if (due == dues_.end()) {
        return std::nullopt;
    }
    auto node = timers_.extract(Key{due->second, id});
    dues_.erase(due);
    return std::move(node.mapped());
}

std::pair<TimerQueue::Due, std::function<void()>> TimerQueue::takeFirst() {
    auto node = timers_.extract(timers_.begin());
    dues_.erase(node.key().second);
    return {node.key().first, std::move(node.mapped())};
}

std::vector<std::function<void()>> TimerQueue::takeAll() {
    std::vector<std::function<void()>> callbacks;
    callbacks.reserve(timers_.size());
    for (auto& [key, callback] : timers_) {
        callbacks.push_back(std::move(callback));
    }
    timers_.clear();
    dues_.clear();
    return callbacks;
}

} // namespace ostral::support
