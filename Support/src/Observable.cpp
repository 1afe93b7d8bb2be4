#include <Support/Observable.h>

namespace ostral::support {

Subscription& Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        unsubscribe();
        registry_ = std::move(other.registry_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void Subscription::unsubscribe() noexcept {
    if (id_ == 0) {
        return;
    }
    if (const auto registry = registry_.lock()) {
        registry->remove(id_);
    }
    registry_.reset();
    id_ = 0;
}

} // namespace ostral::support
