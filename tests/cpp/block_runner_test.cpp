#include "core/common/block_runner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace marrowfin {
namespace {

struct Shape {
  std::uint64_t blocks;
  unsigned workers;
};

class RunBlocks : public ::testing::TestWithParam<Shape> {};

TEST_P(RunBlocks, ProcessesEveryBlockExactlyOnce) {
  const auto [blocks, workers] = GetParam();
  auto calls = std::make_unique<std::atomic<int>[]>(blocks + 1);
  const RunOutcome outcome = run_blocks(blocks, workers, StopToken::never(), [&](std::uint64_t b) {
    calls[b].fetch_add(1);
    return true;
  });
  EXPECT_EQ(outcome, RunOutcome::Completed);
  for (std::uint64_t b = 0; b < blocks; ++b) ASSERT_EQ(calls[b].load(), 1) << b;
}

// Outputs owned per block come out the same whatever the thread count.
TEST_P(RunBlocks, ResultsDoNotDependOnTheThreadCount) {
  const auto [blocks, workers] = GetParam();
  auto compute = [blocks](unsigned threads) {
    std::vector<double> out(blocks);
    run_blocks(blocks, threads, StopToken::never(), [&](std::uint64_t b) {
      double sum = 0.0;
      for (std::uint64_t i = 1; i <= 1000; ++i)
        sum = sum + std::sqrt(static_cast<double>(b * 1000 + i));
      out[b] = sum;
      return true;
    });
    std::vector<std::uint64_t> bits;
    for (double v : out) bits.push_back(test::bits(v));
    return bits;
  };
  EXPECT_EQ(compute(workers), compute(1));
}

INSTANTIATE_TEST_SUITE_P(Shapes, RunBlocks,
                         ::testing::Values(Shape{0, 1}, Shape{0, 4}, Shape{1, 4}, Shape{7, 1},
                                           Shape{7, 3}, Shape{1000, 4}, Shape{1000, 16}));

// The caller keeps its first block busy until a helper has thrown, so the
// exception surely comes from another thread.
TEST(RunBlocksFailure, HelperExceptionIsRethrownOnTheCaller) {
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> thrown{false};
  std::atomic<std::uint64_t> processed{0};
  constexpr std::uint64_t kBlocks = 10000;
  try {
    run_blocks(kBlocks, 4, StopToken::never(), [&](std::uint64_t) {
      processed.fetch_add(1);
      if (std::this_thread::get_id() != caller) {
        thrown.store(true);
        throw std::runtime_error("helper failed");
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!thrown.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
      // The helper is still unwinding (slowly under sanitizers) before it
      // records the exception and ends the claims: give it time, so the
      // count below measures the runner, not the unwinder.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return true;
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "helper failed");
  }
  EXPECT_TRUE(thrown.load());
  // No block is claimed once a failure is known: only those already running.
  EXPECT_LT(processed.load(), kBlocks / 10);
}

TEST(RunBlocksFailure, FalseAbandonsTheBlocksNotYetClaimed) {
  for (unsigned workers : {1u, 4u}) {
    std::atomic<std::uint64_t> highest{0};
    const RunOutcome outcome = run_blocks(1000, workers, StopToken::never(), [&](std::uint64_t b) {
      std::uint64_t seen = highest.load();
      while (b > seen && !highest.compare_exchange_weak(seen, b)) {
      }
      return b != 10;
    });
    EXPECT_EQ(outcome, RunOutcome::Abandoned);
    // Claims go in increasing order; at most one per other worker was already
    // taken when block 10 gave up.
    EXPECT_LT(highest.load(), 10u + workers) << workers;
  }
}

TEST(RunBlocksFailure, RaisedStopTokenEndsTheRun) {
  StopToken stop;
  std::atomic<std::uint64_t> processed{0};
  const RunOutcome outcome = run_blocks(100, 1, stop, [&](std::uint64_t b) {
    processed.fetch_add(1);
    if (b == 5) stop.request_stop();
    return true;
  });
  EXPECT_EQ(outcome, RunOutcome::Stopped);
  EXPECT_EQ(processed.load(), 6u);
  EXPECT_EQ(run_blocks(0, 2, stop, [](std::uint64_t) { return true; }), RunOutcome::Completed);
  EXPECT_EQ(run_blocks(3, 2, stop, [](std::uint64_t) { return true; }), RunOutcome::Stopped);
}

// A pool serves run after run, a failed one included, and names each worker
// by a fixed index below workers().
TEST(BlockPool, ServesManyRunsWithStableWorkerIndices) {
  BlockPool pool(3);
  ASSERT_GE(pool.workers(), 1u);
  ASSERT_LE(pool.workers(), 3u);
  for (int round = 0; round < 200; ++round) {
    const std::uint64_t blocks = round % 7;
    std::vector<int> calls(blocks, 0);
    std::atomic<bool> bad_worker{false};
    const auto process = [&](std::uint64_t b, unsigned worker) {
      if (worker >= pool.workers()) bad_worker.store(true);
      ++calls[b];
      if (round % 50 == 49 && b == 0) throw std::runtime_error("round failed");
      return true;
    };
    if (round % 50 == 49 && blocks > 0) {
      EXPECT_THROW(pool.run(blocks, StopToken::never(), process), std::runtime_error);
      continue;
    }
    EXPECT_EQ(pool.run(blocks, StopToken::never(), process), RunOutcome::Completed);
    EXPECT_FALSE(bad_worker.load());
    EXPECT_EQ(calls, std::vector<int>(blocks, 1)) << round;
  }
}

}  // namespace
}  // namespace marrowfin
