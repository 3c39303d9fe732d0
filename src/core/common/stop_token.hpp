// A request to stop long work early, raised by a thread that is not doing it
// (the Python layer does so when a signal such as Ctrl-C is pending).
//
// Long core operations take a `const StopToken&` and poll it between bounded
// slices of work (each well under 100 ms); when it is raised they abandon the
// call, change no state, and return their "stopped" error. A default token is
// never raised, so callers that cannot be interrupted pass `StopToken::never()`.
#pragma once

#include <atomic>

namespace marrowfin {

class StopToken {
 public:
  StopToken() = default;
  StopToken(const StopToken&) = delete;
  StopToken& operator=(const StopToken&) = delete;

  void request_stop() noexcept { requested_.store(true, std::memory_order_relaxed); }
  [[nodiscard]] bool stop_requested() const noexcept {
    return requested_.load(std::memory_order_relaxed);
  }

  // A token nobody raises.
  static const StopToken& never() noexcept {
    static const StopToken token;
    return token;
  }

 private:
  std::atomic<bool> requested_{false};
};

}  // namespace marrowfin
