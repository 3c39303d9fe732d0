#include "core/backend/brute_force_backend.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/backend/cosine_similarity.hpp"
#include "test_support.hpp"

namespace marrowfin::backend {
namespace {

using test::bits;
using Vector = std::vector<float>;
using Pairs = std::vector<std::pair<std::string, Vector>>;
using Hits = std::vector<std::pair<std::string, float>>;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Status<BackendError> ingest(BruteForceBackend& backend, const Pairs& pairs) {
  std::vector<IngestItem> items;
  for (const auto& [id, vector] : pairs) items.push_back(IngestItem{id, vector});
  return backend.ingest(items);
}

Hits hits(const BruteForceBackend& backend, const Vector& query, std::uint64_t top_k) {
  auto result = backend.search(query, top_k);
  EXPECT_TRUE(result.ok()) << result.error().message();
  Hits out;
  if (result.ok()) {
    for (const SearchResult& r : result.value()) out.emplace_back(*r.vector_id, r.score);
  }
  return out;
}

// The behaviour written out plainly: pairs in first-insertion order, each
// scored with the scalar definition, a stable sort of everything.
class ReferenceBackend {
 public:
  void ingest(const Pairs& pairs) {
    for (const auto& [id, vector] : pairs) {
      if (const auto found = position_.find(id); found != position_.end()) {
        entries_[found->second].second = vector;
      } else {
        position_.emplace(id, entries_.size());
        entries_.emplace_back(id, vector);
      }
    }
  }
  Hits search(const Vector& query, std::size_t top_k) const {
    Hits scored;
    for (const auto& [id, vector] : entries_)
      scored.emplace_back(id, cosine_similarity(query, vector));
    // std::string compares as unsigned bytes, a proper prefix first.
    std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) {
      return a.second > b.second || (!(b.second > a.second) && a.first < b.first);
    });
    scored.resize(std::min(top_k, scored.size()));
    return scored;
  }
  void remove(const std::vector<std::string>& ids) {
    const std::set<std::string> doomed(ids.begin(), ids.end());
    std::erase_if(entries_, [&](const auto& entry) { return doomed.count(entry.first) != 0; });
    position_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i) position_.emplace(entries_[i].first, i);
  }
  std::size_t count() const { return entries_.size(); }

 private:
  Pairs entries_;  // first-insertion order
  std::map<std::string, std::size_t> position_;
};

void expect_identical(const Hits& got, const Hits& expected, const std::string& context) {
  ASSERT_EQ(got.size(), expected.size()) << context;
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].first, expected[i].first) << context << " rank " << i;
    ASSERT_EQ(bits(got[i].second), bits(expected[i].second)) << context << " rank " << i;
  }
}

// top_k is checked before the query's length. Removing every vector keeps
// the dimension; only clear() forgets it. (The messages, the partial ingest
// and the id order of ties are checked through the Python type.)
TEST(BruteForceBackend, TopKFirstAndTheDimensionOutlivesRemoval) {
  BruteForceBackend backend;
  ASSERT_TRUE(ingest(backend, {{"a", {1, 2, 3}}, {"b", {-1, 2, 3}}}).ok());
  EXPECT_EQ(backend.search(Vector{1, 2, 3, 4}, 0).error().kind(), BackendErrorKind::InvalidTopK);
  EXPECT_EQ(backend.search(Vector{1, 2, 3, 4}, 1).error().kind(), BackendErrorKind::Adapter);
  backend.remove(std::vector<std::string>{"a", "unknown", "a", "b"});
  EXPECT_EQ(backend.count(), 0u);
  EXPECT_TRUE(hits(backend, {1, 2}, 4).empty());  // an empty store answers any query
  EXPECT_EQ(ingest(backend, {{"c", {1, 2}}}).error(), BackendError::dimension_mismatch(3, 2));
  backend.clear();
  EXPECT_FALSE(backend.dimension().has_value());
  ASSERT_TRUE(ingest(backend, {{"c", {1, 2}}}).ok());
  expect_identical(hits(backend, {1, 2}, 1), {{"c", 1.0f}}, "after clear");
}

TEST(BruteForceBackend, ResultsShareAndOutliveTheStoredIds) {
  BruteForceBackend backend;
  ASSERT_TRUE(ingest(backend, {{"a", {1, 0}}, {"b", {0, 1}}}).ok());
  const auto first = backend.search(Vector{1, 0}, 2).value();
  const auto second = backend.search(Vector{0, 1}, 2).value();
  EXPECT_EQ(first[0].vector_id.get(), second[1].vector_id.get());
  backend.clear();
  EXPECT_EQ(*first[0].vector_id, "a");
}

// ---- the fast path against the reference, on random histories ----

struct Scenario {
  std::size_t dim;
  std::size_t size;  // vectors per ingest round
  std::uint32_t seed;
};

// Stored vectors and queries are a third each plain Gaussian, copies of four
// prototypes (so scores tie) and awkward.

class Generator {
 public:
  explicit Generator(const Scenario& s) : s_(s), rng_(s.seed) {
    for (auto& p : prototypes_) p = plain();
  }
  // A small alphabet, so that ids repeat, share prefixes and hold bytes above 0x7f.
  std::string id() {
    static const char* const kPieces[] = {"a", "b", "ab", "\u00e9", "\x7f", "z"};
    std::string text;
    for (std::size_t number = pick(s_.size * 3 / 2 + 2); number > 0; number /= 6)
      text += kPieces[number % 6];
    return text;
  }
  Vector stored() {
    const std::size_t kind = pick(3);
    return kind == 0 ? plain() : kind == 1 ? prototypes_[pick(4)] : awkward(true);
  }
  Vector query() {
    const std::size_t kind = pick(3);
    return kind == 0 ? plain() : kind == 1 ? prototypes_[pick(4)] : awkward(pick(4) == 0);
  }

 private:
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  Vector plain() {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    Vector v(s_.dim);
    for (float& x : v) x = normal(rng_);
    return v;
  }
  // Whole vectors zero or scaled so that their norms underflow or overflow,
  // plus scattered infinities, signed zeros, huge values and NaN.
  Vector awkward(bool allow_nan) {
    const std::size_t kind = pick(10);
    if (kind == 0) return Vector(s_.dim, 0.0f);
    const float scale = kind == 1 ? 1e-41f : kind == 2 ? 1e-21f : kind == 3 ? 1e19f : 1.0f;
    Vector v = plain();
    for (float& x : v) x *= scale;
    const float specials[] = {kInf, -kInf, -0.0f, 3e38f, kNaN};
    for (std::size_t n = v.empty() || kind < 6 ? 0 : 1 + pick(3); n > 0; --n)
      v[pick(v.size())] = specials[pick(allow_nan ? 5 : 4)];
    return v;
  }
  Scenario s_;
  std::mt19937 rng_;
  Vector prototypes_[4];
};

void run_scenario(const Scenario& scenario, int rounds, int queries_per_round) {
  std::vector<ScanTuning> tunings = {ScanTuning{}};  // what production runs
  for (simd::Level level : test::usable_levels()) {
    tunings.push_back(ScanTuning{level, 1, ScanTuning::kDefaultMinFloatsPerThread});
    tunings.push_back(ScanTuning{level, 3, 1});
  }
  Generator gen(scenario);
  ReferenceBackend reference;
  BruteForceBackend backend;
  for (int round = 0; round < rounds; ++round) {
    Pairs batch;
    for (std::size_t i = 0; i < (round == 0 ? scenario.size : scenario.size / 2); ++i)
      batch.emplace_back(gen.id(), gen.stored());
    reference.ingest(batch);
    ASSERT_TRUE(ingest(backend, batch).ok());
    // Odd rounds remove most entries, so that the store compacts.
    std::vector<std::string> doomed;
    for (std::size_t i = 0; i < (round % 2 == 1 ? scenario.size : scenario.size / 4); ++i)
      doomed.push_back(gen.id());
    reference.remove(doomed);
    backend.remove(doomed);
    ASSERT_EQ(backend.count(), reference.count());
    const std::size_t count = reference.count();
    for (int q = 0; q < queries_per_round; ++q) {
      const Vector query = gen.query();
      for (std::size_t top_k : {std::size_t{1}, std::size_t{10}, count / 2, count, count + 5}) {
        if (top_k == 0) continue;
        const Hits expected = reference.search(query, top_k);
        for (const ScanTuning& tuning : tunings) {
          backend.set_scan_tuning(tuning);
          expect_identical(hits(backend, query, top_k), expected,
                           "round " + std::to_string(round) + " top_k " + std::to_string(top_k) +
                               " kernel " + std::string(simd::name(tuning.level)) + " threads " +
                               std::to_string(tuning.threads));
          if (::testing::Test::HasFatalFailure()) return;
        }
      }
    }
  }
}

class MatchesReference : public ::testing::TestWithParam<Scenario> {};

TEST_P(MatchesReference, IdForIdBitForBit) { run_scenario(GetParam(), 4, 3); }

std::string scenario_name(const ::testing::TestParamInfo<Scenario>& info) {
  return "dim" + std::to_string(info.param.dim) + "_seed" + std::to_string(info.param.seed);
}

INSTANTIATE_TEST_SUITE_P(
    RandomHistories, MatchesReference,
    ::testing::Values(Scenario{0, 260, 1}, Scenario{1, 260, 2}, Scenario{1, 260, 3},
                      Scenario{7, 260, 4}, Scenario{7, 260, 5}, Scenario{128, 260, 6},
                      Scenario{128, 260, 7}, Scenario{768, 120, 8}, Scenario{768, 120, 9},
                      // A few vectors: narrow blocks that widen and shrink again.
                      Scenario{5, 6, 10}, Scenario{33, 12, 11}, Scenario{768, 10, 12}),
    scenario_name);

// Several storage chunks, and enough data for the default tuning to start more than one thread.
TEST(BruteForceBackendLarge, ManyChunksAndDefaultThreads) {
  run_scenario(Scenario{128, 20000, 99}, 2, 1);
}

}  // namespace
}  // namespace marrowfin::backend
