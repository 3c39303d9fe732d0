// Releasing the interpreter lock around core computation. While a
// GilRelease is alive no interpreter function may be called and no Python
// object may be touched (not even a reference count): copy inputs out of
// Python objects first, build Python results after.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "core/common/stop_token.hpp"
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

  // Runs python_work() with the interpreter lock taken back for its duration.
  template <class PythonWork>
  auto with_gil(PythonWork&& python_work) -> decltype(python_work()) {
    PyEval_RestoreThread(state_);
    struct Resave {
      PyThreadState*& state;
      ~Resave() { state = PyEval_SaveThread(); }
    } resave{state_};
    return std::forward<PythonWork>(python_work)();
  }

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

// How often a waiting call runs the interpreter's signal handlers: an
// interrupt ends a long call well within 100 ms.
inline constexpr std::chrono::milliseconds kSignalPollInterval{40};

// without_gil for long core work that Ctrl-C must be able to end.
//
// CPython runs signal handlers only on its main thread and only while that
// thread holds the interpreter lock. So work(stop) runs on a helper thread
// with the lock released, while the calling thread waits and, every
// kSignalPollInterval, takes the lock back for PyErr_CheckSignals(). When a
// handler raises (KeyboardInterrupt for SIGINT), the calling thread raises
// `stop`; the work notices between bounded slices, gives up without changing
// any state and returns its "interrupted" error. The core mutexes are taken by
// the helper thread inside work, never by the calling thread, so the calling
// thread never waits for the interpreter lock while holding one.
//
// Returns work's result, or nullopt with the handler's exception pending. If
// the work finished before it noticed the stop, its effects stand, exactly as
// if the interrupt had arrived just after the call returned. An exception
// thrown by work is rethrown on the calling thread (to the call boundary).
// When no helper thread can be started, or `long_running` is false (a thread
// costs more than short work), the work runs here and cannot be interrupted.
template <class Work>
auto interruptible(bool long_running, Work&& work)
    -> std::optional<std::invoke_result_t<Work&, const StopToken&>> {
  using R = std::invoke_result_t<Work&, const StopToken&>;
  if (!long_running) return without_gil([&] { return work(StopToken::never()); });

  StopToken stop;
  std::optional<R> result;
  std::exception_ptr failure;
  bool interrupted = false;
  {
    GilRelease release;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    auto run = [&]() noexcept {
      try {
        result.emplace(work(stop));
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard<std::mutex> hold(mutex);
      done = true;
      finished.notify_one();
    };
    std::thread helper;
    try {
      helper = std::thread(run);
    } catch (const std::system_error&) {
      run();
    }
    if (helper.joinable()) {
      std::unique_lock<std::mutex> hold(mutex);
      while (!finished.wait_for(hold, kSignalPollInterval, [&] { return done; })) {
        if (interrupted) continue;
        hold.unlock();
        interrupted = release.with_gil([] { return PyErr_CheckSignals() != 0; });
        if (interrupted) stop.request_stop();
        hold.lock();
      }
      hold.unlock();
      helper.join();
    }
  }
  if (failure) std::rethrow_exception(failure);
  if (interrupted) return std::nullopt;
  return result;
}

}  // namespace marrowfin::py
