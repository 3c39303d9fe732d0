// Errors as values: every fallible core operation returns Result<T, E> (or
// Status<E> when there is nothing to return). The core never throws for bad
// input; exceptions are reserved for broken internal invariants, which the
// Python layer turns into PanicException at its call boundary.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

namespace marrowfin {

template <class E>
struct Failure {
  E error;
};

// Wraps an error so that it converts to any Result<T, E> or Status<E>.
template <class E>
Failure<E> fail(E error) {
  return Failure<E>{std::move(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  // By value, so `for (auto& x : f().value())` never iterates a destroyed temporary.
  T value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(state_);
  }
  E error() && {
    assert(!ok());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Status {
 public:
  Status() = default;
  template <class F>
  Status(Failure<F> failure) : error_(std::in_place, std::move(failure.error)) {}

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  const E& error() const& {
    assert(!ok());
    return *error_;
  }
  E error() && {
    assert(!ok());
    return std::move(*error_);
  }

 private:
  std::optional<E> error_;
};

}  // namespace marrowfin
