#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace ostral::supabase {

// Why a backend call failed. Every call of the client reports failures as values of this type;
// none throws.
struct Error {
    enum class Kind {
        transport,      // no answer: connection refused, reset, name not resolved, TLS
        api,            // the server answered with an error (status, code and message filled in)
        decoding,       // the server's answer could not be read
        sessionMissing, // the call needs a signed-in session and there is none
        timedOut,       // no answer within the allowed time
        cancelled,      // the caller gave up, or the client was closed
    };

    Kind kind = Kind::transport;
    // The HTTP status when the server answered (0 otherwise).
    unsigned status = 0;
    // The server's own error code: a SQLSTATE such as "23505", a PostgREST code such as
    // "PGRST116", or an auth code such as "invalid_credentials". Empty when there is none.
    std::string code;
    std::string message;
    std::optional<std::string> details;
    std::optional<std::string> hint;

    // One line for logs and messages: the message, then the code and status where known.
    std::string description() const;

    bool operator==(const Error&) const = default;
};

// A value or the error that prevented it (Result<void>: success or an error).
template <typename T>
class Result {
public:
    Result(T value)
        : storage_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error)
        : storage_(std::in_place_index<1>, std::move(error)) {}

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

    const Error& error() const& {
        assert(!hasValue());
        return std::get<1>(storage_);
    }
    Error&& error() && {
        assert(!hasValue());
        return std::get<1>(std::move(storage_));
    }

private:
    std::variant<T, Error> storage_;
};

template <>
class Result<void> {
public:
    Result() = default;
    Result(Error error)
        : error_(std::move(error)) {}

    bool hasValue() const { return !error_.has_value(); }
    explicit operator bool() const { return hasValue(); }

    const Error& error() const& {
        assert(!hasValue());
        return *error_;
    }
    Error&& error() && {
        assert(!hasValue());
        return std::move(*error_);
    }

private:
    std::optional<Error> error_;
};

} // namespace ostral::supabase
