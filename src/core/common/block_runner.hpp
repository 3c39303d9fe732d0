// The one block-parallel runner of the core.
//
// run_blocks(block_count, workers, stop, process) calls process(block) once
// for every block in [0, block_count), from up to `workers` threads (the
// calling thread is one of them). Blocks are claimed dynamically in
// increasing order, so a slow block never idles the other threads.
//
// Contract, the same for every caller:
//  - Determinism: process(block) must write only outputs owned by that block
//    and compute them the same way whichever thread runs it. Fewer threads
//    (including one, or threads that cannot be created) are slower, never
//    different.
//  - Failure: if any call throws, no further blocks are claimed, the running
//    ones finish, every thread is joined, and the first exception caught is
//    rethrown on the calling thread.
//  - Early end: process returns false to stop claiming further blocks (a
//    caller-level failure it has recorded itself); run_blocks then returns
//    RunOutcome::Abandoned. A raised StopToken has the same effect and gives
//    RunOutcome::Stopped. Blocks already running always finish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

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

}  // namespace marrowfin
