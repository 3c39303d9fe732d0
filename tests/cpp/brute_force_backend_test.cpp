#include "core/backend/brute_force_backend.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/backend/cosine_similarity.hpp"

namespace marrowfin::backend {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using Vector = std::vector<float>;
using Pairs = std::vector<std::pair<std::string, Vector>>;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

std::vector<IngestItem> items_of(const Pairs& pairs) {
  std::vector<IngestItem> items;
  for (const auto& [id, vector] : pairs) items.push_back(IngestItem{id, vector});
  return items;
}

Status<BackendError> ingest(BruteForceBackend& backend, const Pairs& pairs) {
  return backend.ingest(items_of(pairs));
}

// (id, score) pairs of a successful search.
std::vector<std::pair<std::string, float>> hits(BruteForceBackend& backend, const Vector& query,
                                                std::uint64_t top_k) {
  auto result = backend.search(query, top_k);
  EXPECT_TRUE(result.ok()) << result.error().message();
  std::vector<std::pair<std::string, float>> out;
  if (result.ok()) {
    for (const SearchResult& r : result.value()) out.emplace_back(*r.vector_id, r.score);
  }
  return out;
}

// The behaviour written out plainly: a list in first-insertion order, every
// vector scored with the scalar definition, a stable sort of everything.
class ReferenceBackend {
 public:
  std::optional<std::string> ingest(const Pairs& pairs) {
    for (const auto& [id, vector] : pairs) {
      if (!dimension_) {
        dimension_ = vector.size();
      } else if (vector.size() != *dimension_) {
        return "adapter error: dimension mismatch: expected " + std::to_string(*dimension_) +
               ", got " + std::to_string(vector.size());
      }
      if (const auto found = position_.find(id); found != position_.end()) {
        entries_[found->second].second = vector;
      } else {
        position_.emplace(id, entries_.size());
        entries_.emplace_back(id, vector);
      }
    }
    return std::nullopt;
  }

  std::vector<std::pair<std::string, float>> search(const Vector& query, std::size_t top_k) const {
    std::vector<std::pair<std::string, float>> scored;
    for (const auto& [id, vector] : entries_)
      scored.emplace_back(id, cosine_similarity(query, vector));
    std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) {
      if (a.second > b.second) return true;
      if (b.second > a.second) return false;
      return a.first < b.first;
    });
    if (scored.size() > top_k) scored.resize(top_k);
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
  std::optional<std::size_t> dimension_;
  Pairs entries_;  // first-insertion order
  std::map<std::string, std::size_t> position_;
};

void expect_identical(const std::vector<std::pair<std::string, float>>& got,
                      const std::vector<std::pair<std::string, float>>& expected,
                      const std::string& context) {
  ASSERT_EQ(got.size(), expected.size()) << context;
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].first, expected[i].first) << context << " rank " << i;
    ASSERT_EQ(bits(got[i].second), bits(expected[i].second))
        << context << " rank " << i << ": " << got[i].second << " vs " << expected[i].second;
  }
}

// ---------------------------------------------------------------------------
// Behaviour on small hand-made cases.

TEST(BruteForceBackend, NewBackendIsEmpty) {
  BruteForceBackend backend;
  EXPECT_EQ(backend.count(), 0u);
  EXPECT_FALSE(backend.dimension().has_value());
  EXPECT_TRUE(hits(backend, {1, 2, 3}, 1).empty());
  auto zero = backend.search(Vector{1, 2, 3}, 0);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().kind(), BackendErrorKind::InvalidTopK);
  EXPECT_EQ(zero.error().message(), "top_k must be > 0");
}

TEST(BruteForceBackend, RanksByScore) {
  BruteForceBackend backend;
  ASSERT_TRUE(ingest(backend, {{"a", {1, 0}}, {"b", {0, 1}}}).ok());
  const auto got = hits(backend, {1, 0}, 5);
  expect_identical(got, {{"a", 1.0f}, {"b", 0.0f}}, "two vectors");
}

struct TieCase {
  const char* first_ingested;
  const char* second_ingested;
  const char* expected_first;
};

// Equal scores: ids by unsigned bytes, a proper prefix first.
TEST(BruteForceBackend, TiesAreBrokenByIdBytes) {
  const TieCase cases[] = {
      {"b", "a", "a"},        {"ab", "a", "a"},
      {"z", "\xc3\xa9", "z"},  // é starts with 0xc3, above every ASCII byte
      {"a", "", ""},          {"a\x01", "a", "a"},
  };
  for (const TieCase& c : cases) {
    BruteForceBackend backend;
    ASSERT_TRUE(ingest(backend, {{c.first_ingested, {1, 1}}, {c.second_ingested, {2, 2}}}).ok());
    const auto got = hits(backend, {3, 3}, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, c.expected_first) << c.first_ingested << " / " << c.second_ingested;
    EXPECT_EQ(bits(got[0].second), bits(got[1].second));
  }
}

TEST(BruteForceBackend, MismatchStopsIngestWithoutRollback) {
  BruteForceBackend backend;
  const Status<BackendError> status =
      ingest(backend, {{"a", {1, 2}}, {"b", {1, 2, 3}}, {"c", {3, 4}}});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), BackendError::dimension_mismatch(2, 3));
  EXPECT_EQ(status.error().kind(), BackendErrorKind::Adapter);
  EXPECT_EQ(status.error().adapter_text(), "dimension mismatch: expected 2, got 3");
  EXPECT_EQ(status.error().message(), "adapter error: dimension mismatch: expected 2, got 3");
  EXPECT_EQ(backend.count(), 1u);
  expect_identical(hits(backend, {1, 2}, 10), {{"a", 1.0f}}, "only the first pair is stored");
}

TEST(BruteForceBackend, QueryOfWrongLength) {
  BruteForceBackend backend;
  ASSERT_TRUE(ingest(backend, {{"a", {1, 2, 3}}, {"b", {4, 5, 6}}}).ok());
  EXPECT_EQ(backend.count(), 2u);
  auto result = backend.search(Vector{1, 2, 3, 4}, 1);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), "adapter error: dimension mismatch: expected 3, got 4");
  // top_k is checked first.
  auto zero = backend.search(Vector{1, 2, 3, 4}, 0);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().kind(), BackendErrorKind::InvalidTopK);
}

TEST(BruteForceBackend, ReplacementKeepsCountAndPlace) {
  BruteForceBackend backend;
  ASSERT_TRUE(ingest(backend, {{"x", {1, 0}}, {"y", {0, 1}}, {"z", {1, 1}}}).ok());
  ASSERT_TRUE(ingest(backend, {{"x", {0, 1}}, {"x", {-1, 0}}}).ok());
  EXPECT_EQ(backend.count(), 3u);
  expect_identical(
      hits(backend, {-1, 0}, 3),
      {{"x", 1.0f}, {"y", 0.0f}, {"z", cosine_similarity(Vector{-1, 0}, Vector{1, 1})}},
      "replaced");
}

// Insertion order shows only where NaN scores make the order inconsistent:
// then the result is the stable sort of the pairs in insertion order, so a
// replaced entry must keep its first place and a removed and re-added one
// must move to the end.
TEST(BruteForceBackend, InsertionOrderDecidesAmongNanScores) {
  const Pairs initial = {{"d", {1, 1}}, {"b", {1, 0}}, {"a", {0, 1}}, {"c", {1, 2}}};
  const Pairs nan_scoring = {{"b", {kInf, 1}}, {"d", {kInf, 0}}};
  const Vector query = {1, 1};
  for (bool re_add : {false, true}) {
    ReferenceBackend reference;
    BruteForceBackend backend;
    ASSERT_FALSE(reference.ingest(initial).has_value());
    ASSERT_TRUE(ingest(backend, initial).ok());
    if (re_add) {
      reference.remove({"b"});
      backend.remove(std::vector<std::string>{"b"});
    }
    ASSERT_FALSE(reference.ingest(nan_scoring).has_value());
    ASSERT_TRUE(ingest(backend, nan_scoring).ok());
    expect_identical(hits(backend, query, 4), reference.search(query, 4),
                     re_add ? "re-added" : "replaced");
  }
}

TEST(BruteForceBackend, RemovalKeepsDimensionUntilClear) {
  BruteForceBackend backend;
  ASSERT_TRUE(ingest(backend, {{"a", {1, 2}}, {"b", {3, 4}}}).ok());
  backend.remove(std::vector<std::string>{"a", "unknown", "b", "a"});
  EXPECT_EQ(backend.count(), 0u);
  EXPECT_EQ(backend.dimension(), std::optional<std::uint64_t>(2));
  // An empty store answers any query, even one of another length.
  EXPECT_TRUE(hits(backend, {1, 2, 3}, 4).empty());
  const Status<BackendError> refused = ingest(backend, {{"c", {1, 2, 3}}});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "adapter error: dimension mismatch: expected 2, got 3");

  backend.clear();
  EXPECT_FALSE(backend.dimension().has_value());
  ASSERT_TRUE(ingest(backend, {{"c", {1, 2, 3}}}).ok());
  EXPECT_EQ(backend.dimension(), std::optional<std::uint64_t>(3));
  expect_identical(hits(backend, {1, 2, 3}, 1), {{"c", 1.0f}}, "after clear");
}

TEST(BruteForceBackend, ZeroAndNanVectorsScoreZeroOrderedById) {
  BruteForceBackend backend;
  ASSERT_TRUE(
      ingest(backend,
             {{"d", {0, 0}}, {"c", {kNaN, 1}}, {"e", {-1, 0}}, {"b", {0, 1}}, {"a", {1, 0}}})
          .ok());
  expect_identical(hits(backend, {1, 0}, 10),
                   {{"a", 1.0f}, {"b", 0.0f}, {"c", 0.0f}, {"d", 0.0f}, {"e", -1.0f}}, "mixed");
  // A zero query and a NaN query score 0.0 against everything.
  for (const Vector& query : {Vector{0, 0}, Vector{1, kNaN}}) {
    expect_identical(hits(backend, query, 10),
                     {{"a", 0.0f}, {"b", 0.0f}, {"c", 0.0f}, {"d", 0.0f}, {"e", 0.0f}}, "all zero");
  }
}

TEST(BruteForceBackend, TopKBeyondCountReturnsEverything) {
  BruteForceBackend backend;
  ASSERT_TRUE(ingest(backend, {{"a", {1}}, {"b", {-1}}, {"c", {2}}}).ok());
  for (std::uint64_t top_k :
       {std::uint64_t{3}, std::uint64_t{4}, std::numeric_limits<std::uint64_t>::max()}) {
    expect_identical(hits(backend, {1}, top_k), {{"a", 1.0f}, {"c", 1.0f}, {"b", -1.0f}}, "all");
  }
  expect_identical(hits(backend, {1}, 1), {{"a", 1.0f}}, "first only");
}

TEST(BruteForceBackend, DimensionZero) {
  BruteForceBackend backend;
  ASSERT_TRUE(backend.ingest({}).ok());
  EXPECT_FALSE(backend.dimension().has_value());
  ASSERT_TRUE(ingest(backend, {{"b", {}}, {"a", {}}}).ok());
  EXPECT_EQ(backend.dimension(), std::optional<std::uint64_t>(0));
  expect_identical(hits(backend, {}, 5), {{"a", 0.0f}, {"b", 0.0f}}, "empty vectors");
  auto result = backend.search(Vector{1}, 1);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), "adapter error: dimension mismatch: expected 0, got 1");
}

TEST(BruteForceBackend, ResultsShareTheStoredIds) {
  BruteForceBackend backend;
  ASSERT_TRUE(ingest(backend, {{"a", {1, 0}}, {"b", {0, 1}}}).ok());
  auto first = backend.search(Vector{1, 0}, 2);
  auto second = backend.search(Vector{0, 1}, 2);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value()[0].vector_id.get(), second.value()[1].vector_id.get());
  // A result outlives the entry it came from.
  backend.clear();
  EXPECT_EQ(*first.value()[0].vector_id, "a");
}

// ---------------------------------------------------------------------------
// The fast path against the reference, on random data and random histories.

enum class Flavor { Normal, Ties, Awkward };

struct Scenario {
  std::size_t dim;
  Flavor flavor;
  std::size_t size;  // roughly the number of stored vectors
  std::uint32_t seed;
};

void PrintTo(const Scenario& s, std::ostream* os) {
  *os << "dim " << s.dim << ", flavor " << int(s.flavor) << ", size " << s.size << ", seed "
      << s.seed;
}

class Generator {
 public:
  explicit Generator(const Scenario& scenario) : scenario_(scenario), rng_(scenario.seed) {
    for (int p = 0; p < 4; ++p) prototypes_.push_back(plain_vector());
  }

  std::string id() {
    // A small alphabet so that ids repeat, share prefixes and include bytes
    // above 0x7f.
    static const char* const kPieces[] = {"a", "b", "ab", "\xc3\xa9", "\x7f", "z"};
    const std::size_t pool = scenario_.size + scenario_.size / 2 + 1;
    std::size_t number = std::uniform_int_distribution<std::size_t>(0, pool)(rng_);
    std::string text;
    while (number > 0) {
      text += kPieces[number % 6];
      number /= 6;
    }
    return text;
  }

  Vector stored() {
    switch (scenario_.flavor) {
      case Flavor::Normal:
        return plain_vector();
      case Flavor::Ties:
        return prototypes_[pick(prototypes_.size())];
      case Flavor::Awkward:
        return awkward_vector(true);
    }
    return {};
  }

  Vector query() {
    if (scenario_.flavor == Flavor::Awkward) return awkward_vector(pick(4) == 0);
    if (scenario_.flavor == Flavor::Ties && pick(2) == 0)
      return prototypes_[pick(prototypes_.size())];
    return plain_vector();
  }

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

 private:
  Vector plain_vector() {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    Vector v(scenario_.dim);
    for (float& x : v) x = normal(rng_);
    return v;
  }

  // Mostly ordinary vectors with a sprinkling of zeros, subnormals, huge and
  // infinite values and NaN, plus whole zero vectors.
  Vector awkward_vector(bool allow_nan) {
    Vector v = plain_vector();
    const std::size_t kind = pick(10);
    if (kind == 0) return Vector(scenario_.dim, 0.0f);
    const float scale = kind == 1 ? 1e-41f : kind == 2 ? 1e-21f : kind == 3 ? 1e19f : 1.0f;
    for (float& x : v) x *= scale;
    if (!v.empty() && kind >= 6) {
      const std::size_t specials = 1 + pick(3);
      for (std::size_t s = 0; s < specials; ++s) {
        const std::size_t at = pick(v.size());
        switch (pick(allow_nan ? 5 : 4)) {
          case 0:
            v[at] = kInf;
            break;
          case 1:
            v[at] = -kInf;
            break;
          case 2:
            v[at] = -0.0f;
            break;
          case 3:
            v[at] = 3e38f;
            break;
          default:
            v[at] = kNaN;
            break;
        }
      }
    }
    return v;
  }

  Scenario scenario_;
  std::mt19937 rng_;
  std::vector<Vector> prototypes_;
};

std::vector<ScanTuning> tunings_to_compare() {
  std::vector<ScanTuning> tunings;
  for (ScanKernel kernel : {ScanKernel::Scalar, ScanKernel::Avx2, ScanKernel::Avx512}) {
    if (!scan_kernel_available(kernel)) continue;
    tunings.push_back(ScanTuning{kernel, 1, ScanTuning::kDefaultMinFloatsPerThread});
    tunings.push_back(ScanTuning{kernel, 3, 1});
  }
  tunings.push_back(ScanTuning{});  // what production runs
  return tunings;
}

void run_scenario(const Scenario& scenario, int rounds, int queries_per_round) {
  Generator gen(scenario);
  ReferenceBackend reference;
  BruteForceBackend backend;
  const std::vector<ScanTuning> tunings = tunings_to_compare();
  std::size_t searches = 0;

  for (int round = 0; round < rounds; ++round) {
    Pairs batch;
    const std::size_t batch_size = round == 0 ? scenario.size : scenario.size / 2;
    for (std::size_t i = 0; i < batch_size; ++i) batch.emplace_back(gen.id(), gen.stored());
    ASSERT_FALSE(reference.ingest(batch).has_value());
    ASSERT_TRUE(ingest(backend, batch).ok());

    // Some rounds remove most entries, so that tombstones get compacted away.
    std::vector<std::string> doomed;
    const std::size_t removals = round % 2 == 1 ? scenario.size : scenario.size / 4;
    for (std::size_t i = 0; i < removals; ++i) doomed.push_back(gen.id());
    reference.remove(doomed);
    backend.remove(doomed);
    ASSERT_EQ(backend.count(), reference.count());

    const std::size_t count = reference.count();
    for (int q = 0; q < queries_per_round; ++q) {
      const Vector query = gen.query();
      for (std::size_t top_k : {std::size_t{1}, std::size_t{10}, count / 2, count, count + 5}) {
        if (top_k == 0) continue;
        const auto expected = reference.search(query, top_k);
        for (const ScanTuning& tuning : tunings) {
          backend.set_scan_tuning(tuning);
          const std::string context =
              "dim " + std::to_string(scenario.dim) + " seed " + std::to_string(scenario.seed) +
              " round " + std::to_string(round) + " top_k " + std::to_string(top_k) + " kernel " +
              std::to_string(int(tuning.kernel)) + " threads " + std::to_string(tuning.threads);
          expect_identical(hits(backend, query, top_k), expected, context);
          if (::testing::Test::HasFatalFailure()) return;
          ++searches;
        }
      }
    }
  }
  EXPECT_GT(searches, 0u);
}

class MatchesReference : public ::testing::TestWithParam<Scenario> {};

TEST_P(MatchesReference, IdForIdBitForBit) { run_scenario(GetParam(), 4, 3); }

std::vector<Scenario> scenarios() {
  std::vector<Scenario> all;
  std::uint32_t seed = 1;
  for (std::size_t dim : {0u, 1u, 3u, 7u, 17u, 128u, 768u}) {
    for (Flavor flavor : {Flavor::Normal, Flavor::Ties, Flavor::Awkward}) {
      const std::size_t size = dim >= 768 ? 120 : 260;
      all.push_back(Scenario{dim, flavor, size, seed++});
    }
  }
  return all;
}

std::string scenario_name(const ::testing::TestParamInfo<Scenario>& info) {
  static const char* const kFlavors[] = {"Normal", "Ties", "Awkward"};
  return "dim" + std::to_string(info.param.dim) + "_" + kFlavors[int(info.param.flavor)];
}

INSTANTIATE_TEST_SUITE_P(RandomHistories, MatchesReference, ::testing::ValuesIn(scenarios()),
                         scenario_name);

// Enough data to span several storage chunks and to make the default tuning
// start more than one thread (on machines that have them).
TEST(BruteForceBackendLarge, ManyChunksAndDefaultThreads) {
  run_scenario(Scenario{128, Flavor::Awkward, 20000, 99}, 2, 1);
}

}  // namespace
}  // namespace marrowfin::backend
