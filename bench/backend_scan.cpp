// Timing harness for the brute-force backend's scan (not a test). Build it with
// the core library,
//   cmake -S . -B build/bench -DMARROWFIN_BUILD_BENCHMARKS=ON
//   cmake --build build/bench -j2 --target bench_backend_scan
// and run build/bench/bench_backend_scan on an otherwise idle machine. Prints
// ingest throughput, search time and scan bandwidth for 1 and 2 threads, and a
// plain streaming-read loop over the same number of bytes as the bound to
// compare against.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/backend/brute_force_backend.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using marrowfin::backend::BruteForceBackend;
using marrowfin::backend::IngestItem;
using marrowfin::backend::ScanTuning;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sums a buffer with independent accumulators: as fast as memory can deliver.
__attribute__((target("avx2"))) float stream_sum(const float* data, std::size_t n) {
  __m256 a = _mm256_setzero_ps(), b = a, c = a, d = a;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    a = _mm256_add_ps(a, _mm256_loadu_ps(data + i));
    b = _mm256_add_ps(b, _mm256_loadu_ps(data + i + 8));
    c = _mm256_add_ps(c, _mm256_loadu_ps(data + i + 16));
    d = _mm256_add_ps(d, _mm256_loadu_ps(data + i + 24));
  }
  float out[8];
  _mm256_storeu_ps(out, _mm256_add_ps(_mm256_add_ps(a, b), _mm256_add_ps(c, d)));
  float total = 0.0f;
  for (float v : out) total += v;
  return total;
}

double best_stream_seconds(const std::vector<float>& buffer, unsigned threads, int repeats) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    std::vector<float> sums(threads);
    const auto start = Clock::now();
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        const std::size_t first = buffer.size() * t / threads;
        const std::size_t last = buffer.size() * (t + 1) / threads;
        sums[t] = stream_sum(buffer.data() + first, last - first);
      });
    }
    for (auto& th : pool) th.join();
    best = std::min(best, seconds_since(start));
    if (sums[0] == 12345.0f) std::puts("");  // keep the sums alive
  }
  return best;
}

void run_shape(std::size_t count, std::size_t dim, int repeats) {
  std::printf("== %zu x %zu (%.0f MB of vectors)\n", count, dim, count * dim * 4 / 1e6);
  // A cheap generator: filling 500 MB through std::normal_distribution takes
  // longer than everything measured here.
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next_value = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<float>(static_cast<std::int32_t>(state >> 32)) * 0x1p-31f;
  };
  std::vector<float> data(count * dim);
  for (float& v : data) v = next_value();
  std::vector<std::string> ids(count);
  for (std::size_t i = 0; i < count; ++i) ids[i] = "vec-" + std::to_string(i);

  BruteForceBackend backend;
  const std::size_t batch = 10000;
  auto start = Clock::now();
  for (std::size_t first = 0; first < count; first += batch) {
    std::vector<IngestItem> items;
    for (std::size_t i = first; i < std::min(count, first + batch); ++i) {
      items.push_back(IngestItem{ids[i], std::span<const float>(data.data() + i * dim, dim)});
    }
    if (!backend.ingest(items).ok()) std::abort();
  }
  double t = seconds_since(start);
  std::printf("ingest (new ids):      %8.1f ms  %6.2f GB/s  %6.2f M vectors/s\n", t * 1e3,
              count * dim * 4 / t / 1e9, count / t / 1e6);
  start = Clock::now();
  for (std::size_t first = 0; first < count; first += batch) {
    std::vector<IngestItem> items;
    for (std::size_t i = first; i < std::min(count, first + batch); ++i) {
      items.push_back(IngestItem{ids[i], std::span<const float>(data.data() + i * dim, dim)});
    }
    if (!backend.ingest(items).ok()) std::abort();
  }
  t = seconds_since(start);
  std::printf("ingest (replacements): %8.1f ms  %6.2f GB/s\n", t * 1e3, count * dim * 4 / t / 1e9);

  std::vector<float> query(dim);
  for (float& v : query) v = next_value();
  const double bytes = double(count) * dim * 4;
  for (unsigned threads : {1u, 2u}) {
    ScanTuning tuning;
    tuning.threads = threads;
    backend.set_scan_tuning(tuning);
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
      start = Clock::now();
      auto result = backend.search(query, 10);
      best = std::min(best, seconds_since(start));
      if (!result.ok() || result.value().size() != 10) std::abort();
    }
    const double stream = best_stream_seconds(data, threads, repeats);
    std::printf("top 10, %u thread(s): %7.2f ms  %6.2f GB/s   (read: %6.2f ms  %6.2f GB/s)\n",
                threads, best * 1e3, bytes / best / 1e9, stream * 1e3, bytes / stream / 1e9);
  }
  backend.set_scan_tuning(ScanTuning{});
  start = Clock::now();
  auto all = backend.search(query, count);
  t = seconds_since(start);
  std::printf("search top all (%zu, default tuning): %.1f ms\n", all.value().size(), t * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  // backend_scan [repeats] [which: 0 both, 1 only 100000 x 768, 2 only 1000000 x 128]
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 7;
  const int which = argc > 2 ? std::atoi(argv[2]) : 0;
  if (which != 2) run_shape(100000, 768, repeats);
  if (which != 1) run_shape(1000000, 128, repeats);
  return 0;
}
