// The core state of a Python object that calls share: a Guarded<T> (a mutex
// that remembers abnormal exits) behind a shared pointer. Each call runs its
// core work under the mutex, and a call that releases the interpreter lock
// holds its own reference, so the state outlives the object if it is
// collected meanwhile. Both ways of reporting a poisoned mutex live here:
//
//   constexpr PoisonMessages kPoisoned{"corpus mutex poisoned", "corpus mutex poisoned"};
//   using SharedCorpus = SharedState<corpus::Corpus, kPoisoned>;
//   auto count = state.locked([](corpus::Corpus& c) { return c.vector_count(); });
//   if (!count) return nullptr;  // ValueError "corpus mutex poisoned" is set
#pragma once

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/common/guarded.hpp"
#include "py/toolkit/gil.hpp"
#include "py/toolkit/panic.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

struct PoisonMessages {
  // ValueError text when a call under the interpreter lock finds the mutex poisoned.
  const char* error;
  // PanicException text when a call that released the interpreter lock does:
  // it runs only after earlier core work failed, which bad input never causes.
  const char* panic;
};

template <class T, const PoisonMessages& Messages>
class SharedState {
 public:
  template <class... Args>
  explicit SharedState(std::in_place_t, Args&&... args)
      : state_(std::make_shared<Guarded<T>>(std::forward<Args>(args)...)) {}

  // work(T&) under the mutex, the interpreter lock held throughout; work
  // touches no Python object. Its result (true when it returns nothing), or
  // nullopt (false) with ValueError(Messages.error) raised on a poisoned mutex.
  template <class Work>
  auto locked(Work&& work) const {
    auto result = state_->with_lock(std::forward<Work>(work));
    if (!result) {
      PyErr_SetString(PyExc_ValueError, Messages.error);
    }
    return result;
  }

  // As locked(), with the interpreter lock released around the mutex and the
  // work; a poisoned mutex raises PanicException(Messages.panic) instead.
  template <class Work>
  auto locked_without_gil(Work&& work) const {
    const std::shared_ptr<Guarded<T>> keep = state_;
    auto result = without_gil([&] { return keep->with_lock(std::forward<Work>(work)); });
    if (!result) {
      raise_panic(Messages.panic);
    }
    return result;
  }

  // As locked_without_gil(), for long work(T&, const StopToken&) that Ctrl-C
  // must be able to end (interruptible() in gil.hpp): the mutex is taken by
  // the helper thread that runs the work, never by the thread that waits for
  // signals. Its result, or nullopt with the signal handler's exception or
  // the PanicException set.
  template <class Work>
  auto locked_interruptible(bool long_running, Work&& work) const
      -> std::optional<std::invoke_result_t<Work&, T&, const StopToken&>> {
    const std::shared_ptr<Guarded<T>> keep = state_;
    auto result = interruptible(long_running, [&](const StopToken& stop) {
      return keep->with_lock([&](T& value) { return work(value, stop); });
    });
    if (!result) {
      return std::nullopt;
    }
    if (!*result) {
      raise_panic(Messages.panic);
      return std::nullopt;
    }
    return std::move(**result);
  }

  // The mutex itself, for code that must not raise (destructors).
  Guarded<T>& guarded() const noexcept { return *state_; }

 private:
  std::shared_ptr<Guarded<T>> state_;
};

}  // namespace marrowfin::py
