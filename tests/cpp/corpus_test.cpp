#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/codec/binary16.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/codec/service.hpp"
#include "core/common/guarded.hpp"
#include "core/corpus/corpus.hpp"

namespace marrowfin::corpus {
namespace {

using codec::Codebook;
using codec::CodecConfig;
using Floats = std::vector<float>;

CodecConfig config(std::uint8_t bit_width, std::uint32_t dimension, bool residual = false) {
  return CodecConfig::create(bit_width, 7, dimension, residual).value();
}

Codebook codebook(std::uint8_t bit_width) {
  const int n = 1 << bit_width;
  Floats levels(n);
  for (int i = 0; i < n; ++i) levels[i] = -1.0f + 2.0f * static_cast<float>(i) / (n - 1);
  return Codebook::create(std::move(levels), bit_width).value();
}

Corpus make(CompressionPolicy policy, std::uint32_t dimension = 4, std::uint8_t bit_width = 4,
            std::uint8_t codebook_bits = 4, bool residual = false) {
  return Corpus(share_text("docs"), config(bit_width, dimension, residual), codebook(codebook_bits),
                policy);
}

Floats ramp(std::uint32_t n, float start) {
  Floats v(n);
  for (std::uint32_t i = 0; i < n; ++i) v[i] = start + 0.125f * static_cast<float>(i);
  return v;
}

std::vector<std::uint32_t> bits(const Floats& v) {
  std::vector<std::uint32_t> out;
  for (float x : v) out.push_back(std::bit_cast<std::uint32_t>(x));
  return out;
}

// Everything observable about the stored state, events included (peeked by
// draining and restoring them).
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

TEST(Corpus, NewCorpusHasOnlyItsCreatedEvent) {
  Corpus corpus = make(CompressionPolicy::FP16);
  EXPECT_EQ(corpus.vector_count(), 0u);
  EXPECT_TRUE(corpus.is_empty());
  EXPECT_TRUE(corpus.vector_ids().empty());
  auto events = corpus.pending_events();
  ASSERT_EQ(events.size(), 1u);
  const CorpusCreated* created = events[0].corpus_created();
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->corpus_id, corpus.corpus_id());
  EXPECT_EQ(created->codec_config.config_hash(), corpus.codec_config().config_hash());
  EXPECT_EQ(created->compression_policy, CompressionPolicy::FP16);
  EXPECT_EQ(created->timestamp, 0);
  EXPECT_TRUE(corpus.pending_events().empty());
}

TEST(Corpus, InsertsRecordOneEventEachAndDecompressAllSortsById) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH);
  for (const char* id : {"b", "a", "c"}) ASSERT_TRUE(corpus.insert(id, ramp(4, 1.0f)).ok());
  auto events = corpus.pending_events();
  ASSERT_EQ(events.size(), 4u);
  const char* expected_ids[] = {"b", "a", "c"};
  for (int i = 0; i < 3; ++i) {
    const VectorsInserted* inserted = events[i + 1].vectors_inserted();
    ASSERT_NE(inserted, nullptr);
    EXPECT_EQ(inserted->count, 1u);
    ASSERT_EQ(inserted->vector_ids.size(), 1u);
    EXPECT_EQ(*inserted->vector_ids[0], expected_ids[i]);
    EXPECT_EQ(inserted->timestamp, 0);
  }

  auto all = corpus.decompress_all();
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all.value().size(), 3u);
  EXPECT_EQ(*all.value()[0].vector_id, "a");
  EXPECT_EQ(*all.value()[1].vector_id, "b");
  EXPECT_EQ(*all.value()[2].vector_id, "c");
  events = corpus.pending_events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_NE(events[0].corpus_decompressed(), nullptr);
  EXPECT_EQ(events[0].corpus_decompressed()->vector_count, 3u);
}

TEST(Corpus, EmptyDecompressAllRecordsNothing) {
  Corpus corpus = make(CompressionPolicy::COMPRESS);
  const Snapshot before = snapshot(corpus);
  auto all = corpus.decompress_all();
  ASSERT_TRUE(all.ok());
  EXPECT_TRUE(all.value().empty());
  EXPECT_EQ(snapshot(corpus), before);
}

TEST(Corpus, FailedInsertsLeaveTheCorpusUnchanged) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH, 8);
  ASSERT_TRUE(corpus.insert("a", ramp(8, 0.0f)).ok());
  const Snapshot before = snapshot(corpus);

  const Floats huge_backing(8);
  // The length is checked before any element is read, so a span that only
  // claims 2^32 + 8 elements is safe here; its low 32 bits equal the dimension.
  const std::span<const float> huge(huge_backing.data(), (std::size_t{1} << 32) + 8);
  struct Case {
    std::string id;
    std::span<const float> vector;
    CorpusErrorKind kind;
    std::string message;
  };
  const Floats three = ramp(3, 0.0f);
  const Floats nine = ramp(9, 0.0f);
  const Floats eight = ramp(8, 5.0f);
  const Case cases[] = {
      {"a", three, CorpusErrorKind::DimensionMismatch, "dimension mismatch: expected 8, got 3"},
      {"b", nine, CorpusErrorKind::DimensionMismatch, "dimension mismatch: expected 8, got 9"},
      {"b", huge, CorpusErrorKind::DimensionMismatch,
       "dimension mismatch: expected 8, got 4294967295"},
      {"a", eight, CorpusErrorKind::DuplicateVectorId, "duplicate vector_id a"},
  };
  for (const Case& c : cases) {
    auto result = corpus.insert(c.id, c.vector);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), c.kind);
    EXPECT_EQ(result.error().message(), c.message);
    EXPECT_EQ(snapshot(corpus), before);
  }
  EXPECT_EQ(bits(corpus.decompress("a").value()), bits(ramp(8, 0.0f)));
}

TEST(Corpus, UnfittingCodebookFailsAtFirstCompressInsert) {
  Corpus corpus = make(CompressionPolicy::COMPRESS, 4, /*bit_width=*/4, /*codebook_bits=*/2);
  const Snapshot before = snapshot(corpus);
  auto result = corpus.insert("a", ramp(4, 0.0f));
  ASSERT_FALSE(result.ok());
  ASSERT_EQ(result.error().kind(), CorpusErrorKind::Codec);
  ASSERT_NE(result.error().codec_error(), nullptr);
  EXPECT_EQ(result.error().codec_error()->kind(), codec::CodecErrorKind::CodebookIncompatible);
  EXPECT_EQ(result.error().message(),
            "codec error: codebook bit_width 2 does not match config bit_width 4");
  EXPECT_EQ(snapshot(corpus), before);

  // The raw policies never look at the codebook.
  Corpus raw = make(CompressionPolicy::FP16, 4, 4, 2);
  EXPECT_TRUE(raw.insert("a", ramp(4, 0.0f)).ok());
}

TEST(Corpus, LookupRemoveAndReinsert) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH);
  for (const char* id : {"x", "y", "z"}) ASSERT_TRUE(corpus.insert(id, ramp(4, 2.0f)).ok());
  (void)corpus.pending_events();
  auto removed = corpus.remove("y");
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(*removed->vector_id(), "y");
  EXPECT_TRUE(corpus.contains("x"));
  EXPECT_FALSE(corpus.contains("y"));
  EXPECT_TRUE(corpus.contains("z"));
  ASSERT_TRUE(corpus.get("z").has_value());
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
  EXPECT_EQ(bits(corpus.decompress("y").value()), bits(ramp(4, 9.0f)));
}

TEST(Corpus, IdsSortByUtf8Bytes) {
  Corpus corpus = make(CompressionPolicy::FP16, 2);
  for (const char* id : {"\xc3\xa9", "ab", "B", "", "a"}) ASSERT_TRUE(corpus.insert(id, ramp(2, 0.0f)).ok());
  auto all = corpus.decompress_all();
  ASSERT_TRUE(all.ok());
  std::vector<std::string> ids;
  for (const auto& d : all.value()) ids.push_back(*d.vector_id);
  EXPECT_EQ(ids, (std::vector<std::string>{"", "B", "a", "ab", "\xc3\xa9"}));
}

TEST(Corpus, RawPoliciesRoundTrip) {
  const Floats v{-0.0f, 0.1f, std::bit_cast<float>(0x7fa00001u), 70000.0f, 1e-30f, 3.0f};
  Corpus pass = make(CompressionPolicy::PASSTHROUGH, 6);
  Corpus half = make(CompressionPolicy::FP16, 6);
  ASSERT_TRUE(pass.insert("v", v).ok());
  ASSERT_TRUE(half.insert("v", v).ok());
  EXPECT_EQ(bits(pass.decompress("v").value()), bits(v));
  Floats rounded;
  for (float x : v) rounded.push_back(codec::half_to_float(codec::float_to_half(x)));
  EXPECT_EQ(bits(half.decompress("v").value()), bits(rounded));

  const VectorEntry entry = *pass.get("v");
  EXPECT_EQ(entry.dimension(), 6u);
  EXPECT_EQ(entry.compressed().dimension(), 24u);
  EXPECT_EQ(entry.compressed().bit_width(), 8);
  EXPECT_EQ(half.get("v")->compressed().dimension(), 12u);
}

TEST(Corpus, CompressMatchesTheCodecExactly) {
  std::mt19937 rng(9);
  std::normal_distribution<float> gauss(0.0f, 0.5f);
  for (bool residual : {false, true}) {
    Corpus corpus = make(CompressionPolicy::COMPRESS, 24, 4, 4, residual);
    std::map<std::string, Floats> inserted;
    for (int i = 0; i < 5; ++i) {
      Floats v(24);
      for (float& x : v) x = gauss(rng);
      const std::string id(1, static_cast<char>('a' + i));
      auto entry = corpus.insert(id, v);
      ASSERT_TRUE(entry.ok());
      EXPECT_EQ(entry.value().has_residual(), residual);
      // The returned entry shares the stored payload.
      EXPECT_EQ(entry.value().compressed().indices(), corpus.get(id)->compressed().indices());
      inserted[id] = v;
    }
    auto all = corpus.decompress_all();
    ASSERT_TRUE(all.ok());
    for (const auto& d : all.value()) {
      const Floats& v = inserted.at(*d.vector_id);
      auto reference = codec::Codec::compress(v, corpus.codec_config(), corpus.codebook());
      ASSERT_TRUE(reference.ok());
      const VectorEntry stored = *corpus.get(*d.vector_id);
      EXPECT_EQ(*stored.compressed().indices(), *reference.value().indices());
      if (residual) {
        EXPECT_EQ(**stored.compressed().residual(), **reference.value().residual());
      }
      auto expected = codec::Codec::decompress(reference.value(), corpus.codec_config(),
                                               corpus.codebook());
      EXPECT_EQ(bits(d.values), bits(expected.value()));
      EXPECT_EQ(bits(corpus.decompress(*d.vector_id).value()), bits(expected.value()));
    }
  }
}

TEST(Corpus, RestoredEventsGoBackInFrontInOrder) {
  Corpus corpus = make(CompressionPolicy::PASSTHROUGH, 1);
  ASSERT_TRUE(corpus.insert("a", Floats{1.0f}).ok());
  auto taken = corpus.pending_events();
  ASSERT_EQ(taken.size(), 2u);
  ASSERT_TRUE(corpus.insert("b", Floats{2.0f}).ok());
  corpus.restore_pending_events(std::move(taken));
  corpus.restore_pending_events({});
  auto events = corpus.pending_events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind(), CorpusEventKind::CorpusCreated);
  EXPECT_EQ(*events[1].vectors_inserted()->vector_ids[0], "a");
  EXPECT_EQ(*events[2].vectors_inserted()->vector_ids[0], "b");
}

TEST(Corpus, WorksBehindAGuard) {
  Guarded<Corpus> guarded(share_text("g"), config(2, 2), codebook(2), CompressionPolicy::COMPRESS);
  {
    auto corpus = guarded.lock();
    ASSERT_TRUE(corpus.has_value());
    ASSERT_TRUE((*corpus)->insert("a", Floats{0.5f, -0.5f}).ok());
    EXPECT_EQ((*corpus)->vector_count(), 1u);
  }
  guarded.poison();
  EXPECT_FALSE(guarded.lock().has_value());
}

}  // namespace
}  // namespace marrowfin::corpus
