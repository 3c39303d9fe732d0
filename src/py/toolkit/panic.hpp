// The call boundary. A broken internal invariant shows up in C++ as an
// exception (std::logic_error from the core, std::bad_alloc, ...). Letting it
// unwind into the interpreter would terminate the process, so every function
// the interpreter calls runs its body through call_boundary(), which turns an
// escaping exception into a pending PanicException and returns the error
// value of the slot. PanicException derives directly from BaseException, so
// an `except Exception` handler in user code does not swallow it.
#pragma once

#include <exception>
#include <type_traits>

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The PanicException type (borrowed; process lifetime), created on first use
// and registered in no module namespace. Null with an error set when it
// cannot be created.
PyTypeObject* panic_exception_type();

// Raises PanicException(message); the exception pending before, if any,
// becomes its __context__. Returns nullptr so bodies can `return raise_panic(...)`.
PyObject* raise_panic(const char* message);

// Raises PanicException(message) with the pending exception as its __cause__,
// for "this cannot fail" steps whose Python error should still be visible.
PyObject* raise_panic_from_pending(const char* message);

namespace detail {
void raise_panic_from_current_exception() noexcept;
}  // namespace detail

// The value a slot of type R returns to signal "exception set".
template <class R>
constexpr R error_value() noexcept {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    static_assert(std::is_integral_v<R>, "slot results are pointers or integers");
    return R(-1);
  }
}

// Runs body() and returns its result; if a C++ exception escapes, raises it
// as PanicException and returns error_value<R>().
template <class Body>
auto call_boundary(Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (...) {
    detail::raise_panic_from_current_exception();
    return error_value<R>();
  }
}

}  // namespace marrowfin::py
