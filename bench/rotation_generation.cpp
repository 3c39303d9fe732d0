// Timing harness for rotation generation and application (not a test).
//
//   cmake -S . -B build/bench -DMARROWFIN_BUILD_BENCHMARKS=ON
//   cmake --build build/bench -j2 --target bench_rotation_generation
//   build/bench/bench_rotation_generation [dimension ...]
//
// Prints, per dimension, the best of several runs: sampling, factorisation on
// one and on two threads (wall time, and process CPU time for one thread,
// which a busy machine distorts less), then M x and M^T x per vector, one at
// a time and in batches (process CPU time; all single-threaded).
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/rotation/generate/householder_qr.hpp"
#include "core/rotation/generate/rotation_stream.hpp"
#include "core/rotation/rotation_matrix.hpp"

namespace {

using namespace marrowfin::rotation;

double seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <class F>
double best_of(int runs, clockid_t clock, F&& f) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const double start = seconds(clock);
    f();
    best = std::min(best, seconds(clock) - start);
  }
  return best;
}

void generation(std::uint32_t n) {
  const int runs = n <= 1024 ? 5 : 2;
  std::vector<double> a(std::size_t{n} * n);
  const double sample =
      best_of(runs, CLOCK_MONOTONIC, [&] { gaussian_samples(42, a.data(), a.size()); });
  const std::vector<double> samples = a;
  double factor[3];
  const clockid_t clocks[3] = {CLOCK_MONOTONIC, CLOCK_PROCESS_CPUTIME_ID, CLOCK_MONOTONIC};
  const unsigned threads[3] = {1, 1, 2};
  for (int c = 0; c < 3; ++c) {
    factor[c] = best_of(runs, clocks[c], [&] {
      a = samples;
      (void)orthogonal_factor_in_place(a.data(), n,
                                       QrOptions{threads[c], marrowfin::simd::best_level()});
    });
  }
  std::printf(
      "n=%5u  sampling %8.2f ms  QR 1 thread %8.2f ms (cpu %8.2f ms)  QR 2 threads %8.2f ms\n", n,
      sample * 1e3, factor[0] * 1e3, factor[1] * 1e3, factor[2] * 1e3);
}

void application(std::uint32_t n) {
  const RotationMatrix rotation = RotationMatrix::build(42, n);
  const std::size_t count = 2000;
  std::vector<float> x(count * n);
  std::vector<float> y(count * n);
  std::mt19937 rng(1);
  std::normal_distribution<float> normal;
  for (auto& v : x) v = normal(rng);
  const int singles = 50;
  const double one = best_of(5, CLOCK_PROCESS_CPUTIME_ID,
                             [&] {
                               for (int v = 0; v < singles; ++v)
                                 (void)rotation.apply({x.data() + v * n, n}, {y.data() + v * n, n});
                             }) /
                     singles;
  const double one_inverse =
      best_of(5, CLOCK_PROCESS_CPUTIME_ID,
              [&] {
                for (int v = 0; v < singles; ++v)
                  (void)rotation.apply_inverse({x.data() + v * n, n}, {y.data() + v * n, n});
              }) /
      singles;
  const double many = best_of(3, CLOCK_PROCESS_CPUTIME_ID,
                              [&] { rotation.apply_many(x.data(), count, y.data()); }) /
                      count;
  const double many_inverse =
      best_of(3, CLOCK_PROCESS_CPUTIME_ID,
              [&] { rotation.apply_inverse_many(x.data(), count, y.data()); }) /
      count;
  std::printf(
      "n=%5u  per vector: apply %6.1f us  apply_inverse %6.1f us  apply_many %6.1f us  "
      "apply_inverse_many %6.1f us\n",
      n, one * 1e6, one_inverse * 1e6, many * 1e6, many_inverse * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint32_t> dims;
  for (int i = 1; i < argc; ++i)
    dims.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  if (dims.empty()) dims = {384, 768, 1536};
  for (auto n : dims) generation(n);
  for (auto n : dims) application(n);
}
