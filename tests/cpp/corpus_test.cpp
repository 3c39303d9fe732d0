#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/codec/service.hpp"
#include "core/common/guarded.hpp"
#include "core/corpus/corpus.hpp"
#include "test_support.hpp"

namespace marrowfin::corpus {
namespace {

using test::bits_of;
using Floats = std::vector<float>;

Corpus make(CompressionPolicy policy, std::uint32_t dimension = 4, std::uint8_t codebook_bits = 4) {
  return Corpus(share_text("docs"), test::make_config(4, dimension), test::even_codebook(codebook_bits), policy);
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
  for (const auto& slot : corpus.entries().entries()) s.insertion.push_back(*slot.id);
  s.order.assign(corpus.entries().order().begin(), corpus.entries().order().end());
  auto events = corpus.pending_events();
  for (const auto& e : events) s.events.push_back(e.kind());
  corpus.restore_pending_events(std::move(events));
  return s;
}

TEST(Corpus, EventsOfCreateInsertAndDecompressAll) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH);
  // An empty decompress_all records nothing.
  const Snapshot fresh = snapshot(corpus);
  EXPECT_TRUE(corpus.decompress_all().value().empty());
  EXPECT_EQ(snapshot(corpus), fresh);
  const std::vector<std::string> ids = {"\xc3\xa9", "b", "B", "", "ab"};
  for (const auto& id : ids) ASSERT_TRUE(corpus.insert(id, ramp(4, 1.0f)).ok());
  auto events = corpus.pending_events();
  ASSERT_EQ(events.size(), 6u);
  const CorpusCreated* created = events[0].corpus_created();
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->corpus_id, corpus.corpus_id());
  EXPECT_EQ(created->codec_config.config_hash(), corpus.codec_config().config_hash());
  EXPECT_EQ(created->compression_policy, CompressionPolicy::PASSTHROUGH);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const VectorsInserted* inserted = events[i + 1].vectors_inserted();
    ASSERT_NE(inserted, nullptr);
    EXPECT_EQ(inserted->count, 1u);
    ASSERT_EQ(inserted->vector_ids.size(), 1u);
    EXPECT_EQ(*inserted->vector_ids[0], ids[i]);
  }
  // decompress_all returns ids in unsigned byte order.
  std::vector<std::string> sorted;
  for (const auto& d : corpus.decompress_all().value()) sorted.push_back(*d.vector_id);
  EXPECT_EQ(sorted, (std::vector<std::string>{"", "B", "ab", "b", "\xc3\xa9"}));
  events = corpus.pending_events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_NE(events[0].corpus_decompressed(), nullptr);
  EXPECT_EQ(events[0].corpus_decompressed()->vector_count, 5u);
}

TEST(Corpus, FailedInsertsLeaveTheCorpusUnchanged) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH, 8);
  ASSERT_TRUE(corpus.insert("a", ramp(8, 0.0f)).ok());
  const Snapshot before = snapshot(corpus);
  // The length is checked before any element is read, so a span that only
  // claims 2^32 + 8 elements is safe here; its low 32 bits equal the dimension.
  const Floats backing(8), three = ramp(3, 0.0f), nine = ramp(9, 0.0f), eight = ramp(8, 5.0f);
  const std::span<const float> huge(backing.data(), (std::size_t{1} << 32) + 8);
  const std::tuple<std::string, std::span<const float>, CorpusErrorKind, std::string> cases[] = {
      {"a", three, CorpusErrorKind::DimensionMismatch, "dimension mismatch: expected 8, got 3"},
      {"b", nine, CorpusErrorKind::DimensionMismatch, "dimension mismatch: expected 8, got 9"},
      {"b", huge, CorpusErrorKind::DimensionMismatch, "dimension mismatch: expected 8, got 4294967295"},
      {"a", eight, CorpusErrorKind::DuplicateVectorId, "duplicate vector_id a"},
  };
  for (const auto& [id, vector, kind, message] : cases) {
    auto result = corpus.insert(id, vector);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), kind);
    EXPECT_EQ(result.error().message(), message);
    EXPECT_EQ(snapshot(corpus), before);
  }
  EXPECT_EQ(bits_of(corpus.decompress("a").value()), bits_of(ramp(8, 0.0f)));
}

TEST(Corpus, UnfittingCodebookFailsOnlyAtTheFirstCompressInsert) {
  Corpus corpus = make(CompressionPolicy::COMPRESS, 4, /*codebook_bits=*/2);
  const Snapshot before = snapshot(corpus);
  auto result = corpus.insert("a", ramp(4, 0.0f));
  ASSERT_FALSE(result.ok());
  ASSERT_NE(result.error().codec_error(), nullptr);
  EXPECT_EQ(result.error().codec_error()->kind(), codec::CodecErrorKind::CodebookIncompatible);
  EXPECT_EQ(result.error().message(), "codec error: codebook bit_width 2 does not match config bit_width 4");
  EXPECT_EQ(snapshot(corpus), before);
  // The raw policies never look at the codebook.
  Corpus fp16 = make(CompressionPolicy::FP16, 4, 2);
  ASSERT_TRUE(fp16.insert("a", ramp(4, 0.0f)).ok());
  EXPECT_EQ(bits_of(fp16.decompress("a").value()), bits_of(ramp(4, 0.0f)));
}

TEST(Corpus, LookupRemoveAndReinsert) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH);
  for (const char* id : {"x", "y", "z"}) ASSERT_TRUE(corpus.insert(id, ramp(4, 2.0f)).ok());
  (void)corpus.pending_events();
  EXPECT_EQ(*corpus.remove("y")->vector_id(), "y");
  EXPECT_TRUE(corpus.contains("x") && corpus.contains("z") && corpus.get("z").has_value());
  EXPECT_FALSE(corpus.contains("y"));
  EXPECT_EQ(corpus.vector_count(), 2u);
  EXPECT_TRUE(corpus.pending_events().empty());  // remove records nothing

  const Snapshot before = snapshot(corpus);
  EXPECT_FALSE(corpus.get("missing").has_value());
  EXPECT_FALSE(corpus.remove("missing").has_value());
  auto unknown = corpus.decompress("missing");
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.error().kind(), CorpusErrorKind::UnknownVectorId);
  EXPECT_EQ(unknown.error().message(), "unknown vector_id missing");
  EXPECT_EQ(snapshot(corpus), before);

  ASSERT_TRUE(corpus.insert("y", ramp(4, 9.0f)).ok());
  EXPECT_EQ(*corpus.entries().entries().back().id, "y");
  EXPECT_EQ(bits_of(corpus.decompress("y").value()), bits_of(ramp(4, 9.0f)));
}

// Inserts (reusing one rotation), single decodes and the batched
// decompress_all all equal the codec's own calls.
TEST(Corpus, CompressMatchesTheCodecExactly) {
  for (const auto& [bit_width, residual] : {std::pair{2, true}, {4, false}, {8, true}}) {
    const auto bits = static_cast<std::uint8_t>(bit_width);
    Corpus corpus(share_text("c"), test::make_config(bits, 24, residual), test::even_codebook(bits), CompressionPolicy::COMPRESS);
    std::map<std::string, Floats> inserted;
    for (int i = 0; i < 5; ++i) {
      const std::string id(1, static_cast<char>('a' + i));
      inserted[id] = test::gaussian_floats(24, 9 + i, 0.5f);
      auto entry = corpus.insert(id, inserted[id]);
      ASSERT_TRUE(entry.ok());
      EXPECT_EQ(entry.value().compressed().indices(), corpus.get(id)->compressed().indices());  // shared payload
    }
    for (const auto& d : corpus.decompress_all().value()) {
      const auto reference = codec::Codec::compress(inserted.at(*d.vector_id), corpus.codec_config(), corpus.codebook()).value();
      const auto stored = corpus.get(*d.vector_id)->compressed();
      EXPECT_EQ(*stored.indices(), *reference.indices());
      ASSERT_EQ(stored.has_residual(), residual);
      if (residual) { EXPECT_EQ(**stored.residual(), **reference.residual()); }
      const auto expected = bits_of(codec::Codec::decompress(reference, corpus.codec_config(), corpus.codebook()).value());
      EXPECT_EQ(bits_of(d.values), expected);
      EXPECT_EQ(bits_of(corpus.decompress(*d.vector_id).value()), expected);
    }
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
  EXPECT_EQ(*events[1].vectors_inserted()->vector_ids[0], "a");
  EXPECT_EQ(*events[2].vectors_inserted()->vector_ids[0], "b");
}

TEST(Corpus, APoisonedGuardRefusesTheLock) {
  Guarded<Corpus> guarded(share_text("g"), test::make_config(2, 2), test::even_codebook(2), CompressionPolicy::COMPRESS);
  ASSERT_TRUE((*guarded.lock())->insert("a", Floats{0.5f, -0.5f}).ok());
  guarded.poison();
  EXPECT_FALSE(guarded.lock().has_value());
}

}  // namespace
}  // namespace marrowfin::corpus
