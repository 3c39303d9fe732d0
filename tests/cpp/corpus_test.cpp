#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "core/common/guarded.hpp"
#include "core/corpus/corpus.hpp"
#include "test_support.hpp"

namespace marrowfin::corpus {
namespace {

using test::bits_of;
using Floats = std::vector<float>;

Corpus make(CompressionPolicy policy, std::uint32_t dimension) {
  return Corpus(share_text("docs"), test::make_config(4, dimension), test::even_codebook(4),
                policy);
}

Floats ramp(std::uint32_t n, float start) {
  Floats v(n);
  for (std::uint32_t i = 0; i < n; ++i) v[i] = start + 0.125f * static_cast<float>(i);
  return v;
}

// Everything observable about the stored state, pending events included
// (peeked by draining and restoring them).
struct Snapshot {
  std::vector<std::string> insertion;
  std::vector<std::size_t> order;
  std::vector<CorpusEventKind> events;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(Corpus& corpus) {
  Snapshot s;
  for (std::size_t row = 0; row < corpus.store().size(); ++row) {
    s.insertion.push_back(std::string(corpus.store().id(row)));
  }
  s.order.assign(corpus.store().order().begin(), corpus.store().order().end());
  auto events = corpus.pending_events();
  for (const auto& e : events) s.events.push_back(e.kind());
  corpus.restore_pending_events(std::move(events));
  return s;
}

// The other failures, with their exceptions, are checked through the Python type.
TEST(Corpus, FailedInsertsLeaveTheCorpusUnchanged) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH, 8);
  ASSERT_TRUE(corpus.insert("a", ramp(8, 0.0f)).ok());
  const Snapshot before = snapshot(corpus);
  // The length is checked before any element is read, so a span that only
  // claims 2^32 + 8 elements is safe here; its low 32 bits equal the dimension.
  const Floats backing(8), nine = ramp(9, 0.0f);
  const std::span<const float> huge(backing.data(), (std::size_t{1} << 32) + 8);
  const std::tuple<std::string, std::span<const float>, CorpusErrorKind, std::string> cases[] = {
      {"b", nine, CorpusErrorKind::DimensionMismatch, "dimension mismatch: expected 8, got 9"},
      {"b", huge, CorpusErrorKind::DimensionMismatch,
       "dimension mismatch: expected 8, got 4294967295"},
  };
  for (const auto& [id, vector, kind, message] : cases) {
    auto result = corpus.insert(id, vector);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), kind);
    EXPECT_EQ(result.error().message(), message);
    EXPECT_EQ(snapshot(corpus), before);
  }
  EXPECT_EQ(bits_of(corpus.decompress("a").value()), bits_of(ramp(8, 0.0f)));
  // Only the core text of a wrapped codec error carries the prefix; Python sees the codec error
  // itself.
  Corpus unfitting(share_text("c"), test::make_config(4, 4), test::even_codebook(2),
                   CompressionPolicy::COMPRESS);
  const auto wrapped = unfitting.insert("a", ramp(4, 0.0f));
  ASSERT_NE(wrapped.error().cause(), nullptr);
  EXPECT_EQ(*wrapped.error().cause(), codec::CodecError::codebook_incompatible(4, 2));
  EXPECT_EQ(wrapped.error().message(),
            "codec error: codebook bit_width 2 does not match config bit_width 4");
}

// A raised stop token ends a batch insert or a full decode with nothing
// stored and nothing recorded.
TEST(Corpus, StoppedBatchInsertAndDecodeChangeNothing) {
  for (CompressionPolicy policy : {CompressionPolicy::COMPRESS, CompressionPolicy::PASSTHROUGH}) {
    Corpus corpus = make(policy, 8);
    ASSERT_TRUE(corpus.insert("a", ramp(8, 0.0f)).ok());
    const Snapshot before = snapshot(corpus);
    StopToken stop;
    stop.request_stop();
    const Floats rows = ramp(16, 0.5f);
    EXPECT_FALSE(corpus.insert_batch({"b", "c"}, rows, 8, 1, stop).ok());
    EXPECT_FALSE(corpus.decode_all(stop).ok());
    EXPECT_EQ(snapshot(corpus), before);
    EXPECT_TRUE(corpus.insert_batch({"b", "c"}, rows, 8).ok());
  }
}

TEST(Corpus, RestoredEventsGoBackInFrontInOrder) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH, 1);
  ASSERT_TRUE(corpus.insert("a", Floats{1.0f}).ok());
  auto taken = corpus.pending_events();
  ASSERT_TRUE(corpus.insert("b", Floats{2.0f}).ok());
  corpus.restore_pending_events(std::move(taken));
  corpus.restore_pending_events({});
  auto events = corpus.pending_events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind(), CorpusEventKind::CorpusCreated);
  EXPECT_EQ(*std::get<VectorsInserted>(events[1].payload()).vector_ids[0], "a");
  EXPECT_EQ(*std::get<VectorsInserted>(events[2].payload()).vector_ids[0], "b");
}

TEST(Corpus, AnExceptionUnderTheGuardPoisonsIt) {
  Guarded<Corpus> guarded(share_text("g"), test::make_config(2, 2), test::even_codebook(2),
                          CompressionPolicy::COMPRESS);
  ASSERT_TRUE((*guarded.lock())->insert("a", Floats{0.5f, -0.5f}).ok());
  EXPECT_THROW(guarded.with_lock([](Corpus&) { throw std::runtime_error("half-updated"); }),
               std::runtime_error);
  EXPECT_FALSE(guarded.lock().has_value());
  EXPECT_FALSE(guarded.with_lock([](Corpus&) {}));
}

}  // namespace
}  // namespace marrowfin::corpus
