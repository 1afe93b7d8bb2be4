#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace ostral::devstack {

// Tag that builds a failed Outcome: `return Failure{error};`.
template <typename E>
struct Failure {
    E error;
};
template <typename E>
Failure(E) -> Failure<E>;

// A value or the error that prevented it. The local backend links none of the shell's
// libraries, so it carries its own small result type with the same spelling as theirs.
template <typename T, typename E>
class Outcome {
public:
    Outcome(T value)
        : storage_(std::in_place_index<0>, std::move(value)) {}
    template <typename U>
    Outcome(Failure<U> failure)
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

private:
    std::variant<T, E> storage_;
};

// For operations that give nothing back but may fail.
struct Done {};

} // namespace ostral::devstack
