// Releasing the interpreter lock around core computation. While a
// GilRelease is alive no interpreter function may be called and no Python
// object may be touched (not even a reference count): copy inputs out of
// Python objects first, build Python results after.
#pragma once

#include <utility>

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }

  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  GilRelease(GilRelease&&) = delete;
  GilRelease& operator=(GilRelease&&) = delete;

 private:
  PyThreadState* state_;
};

// Runs work() with the interpreter lock released and returns its result. The
// lock is re-acquired even when work() throws, so the exception can reach
// the call boundary.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  GilRelease release;
  return std::forward<Work>(work)();
}

}  // namespace marrowfin::py
