#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace ostral {

// Tag that builds a failed Expected: `return Unexpected{error};`.
template <typename E>
struct Unexpected {
    E error;
};
template <typename E>
Unexpected(E) -> Unexpected<E>;

// A value or the error that prevented it. The standard library's std::expected needs C++23,
// which our compilers do not offer; this keeps the same spelling for the parts we use.
template <typename T, typename E>
class Expected {
public:
    Expected(T value)
        : storage_(std::in_place_index<0>, std::move(value)) {}
    template <typename U>
    Expected(Unexpected<U> failure)
        : storage_(std::in_place_index<1>, std::move(failure.error)) {}

    bool hasValue() const { return storage_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() & {
        assert(hasValue());
        return std::get<0>(storage_);
    }
    const T& value() const& {
        assert(hasValue());
        return std::get<0>(storage_);
    }
    T&& value() && {
        assert(hasValue());
        return std::get<0>(std::move(storage_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const& {
        assert(!hasValue());
        return std::get<1>(storage_);
    }
    E&& error() && {
        assert(!hasValue());
        return std::get<1>(std::move(storage_));
    }

    bool operator==(const Expected&) const = default;

private:
    std::variant<T, E> storage_;
};

} // namespace ostral
