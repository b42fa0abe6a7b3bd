#pragma once

#include <string>
#include <utility>
#include <variant>

namespace pavix {

/// Why an operation failed, in words fit for a "couldn't …: " line.
struct Error {
    std::string description;
};

/// The outcome of an operation that can fail: a value, or the Error that stopped it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value)
        : state_(std::move(value)) {}
    Result(Error error)
        : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

/// Result of an operation that yields nothing but success.
struct Done {};
using Status = Result<Done>;
inline Status done() {
    return Done{};
}

} // namespace pavix
