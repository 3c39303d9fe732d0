// The one block-parallel runner of the core.
//
// run_blocks(block_count, workers, stop, process) calls process(block) once
// for every block in [0, block_count), from up to `workers` threads (the
// calling thread is one of them). Blocks are claimed dynamically in
// increasing order, so a slow block never idles the other threads. A
// BlockPool does the same over threads kept for many runs, for callers that
// run many short parallel steps (the Householder QR).
//
// Contract, the same for every caller:
//  - Determinism: process(block) must write only outputs owned by that block
//    and compute them the same way whichever thread runs it. Fewer threads
//    (including one, or threads that cannot be created) are slower, never
//    different.
//  - Failure: if any call throws, no further blocks are claimed, the running
//    ones finish, every thread is done with the run, and the first exception
//    caught is rethrown on the calling thread.
//  - Early end: process returns false to stop claiming further blocks (a
//    caller-level failure it has recorded itself); the run then returns
//    RunOutcome::Abandoned. A raised StopToken has the same effect and gives
//    RunOutcome::Stopped. Blocks already running always finish.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "core/common/stop_token.hpp"

namespace marrowfin {

enum class RunOutcome : std::uint8_t {
  Completed,  // every block was processed
  Abandoned,  // a process call returned false
  Stopped,    // the StopToken was raised before every block was claimed
};

// The thread count to use for `blocks` blocks when the caller asked for
// `requested` (0 = every CPU this process may use): never more than the
// blocks, the CPUs, or `requested`, and at least 1.
[[nodiscard]] unsigned runner_threads(unsigned requested, std::uint64_t blocks) noexcept;

RunOutcome run_blocks(std::uint64_t block_count, unsigned workers, const StopToken& stop,
                      const std::function<bool(std::uint64_t block)>& process);

// Helper threads kept alive across runs. run() has run_blocks' contract, and
// also tells process which worker runs it: 0 for the calling thread, 1 ..
// workers() - 1 for the helpers, so that callers can keep scratch space per
// worker. One run at a time, from one thread, never from inside a run.
class BlockPool {
 public:
  using Process = std::function<bool(std::uint64_t block, unsigned worker)>;

  // Starts up to workers - 1 helpers; if the system refuses a thread the pool
  // stays smaller, which the results never depend on.
  explicit BlockPool(unsigned workers);
  ~BlockPool();
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // The threads a run uses, the calling one included.
  [[nodiscard]] unsigned workers() const noexcept {
    return static_cast<unsigned>(helpers_.size()) + 1;
  }

  RunOutcome run(std::uint64_t block_count, const StopToken& stop, const Process& process);

 private:
  struct Run;
  void helper_loop(unsigned worker) noexcept;

  std::vector<std::thread> helpers_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::size_t> busy_{0};
  std::atomic<bool> closing_{false};
  Run* run_ = nullptr;  // written before generation_ moves on, read after
};

}  // namespace marrowfin
