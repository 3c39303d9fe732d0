#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/codec/service.hpp"
#include "core/corpus/compression_policy.hpp"
#include "core/corpus/corpus_event.hpp"
#include "core/corpus/policy_codec.hpp"

namespace marrowfin::corpus {
namespace {

using Bytes = std::vector<std::uint8_t>;
using codec::Codebook;
using codec::CodecConfig;

CodecConfig config(std::uint8_t bit_width, std::uint32_t dimension, bool residual = false) {
  return CodecConfig::create(bit_width, 42, dimension, residual).value();
}

// 2^bit_width evenly spaced levels in [-1, 1].
Codebook codebook(std::uint8_t bit_width) {
  const int n = 1 << bit_width;
  std::vector<float> levels(n);
  for (int i = 0; i < n; ++i) levels[i] = -1.0f + 2.0f * static_cast<float>(i) / (n - 1);
  return Codebook::create(std::move(levels), bit_width).value();
}

TEST(CompressionPolicy, MembersAndTexts) {
  struct Row {
    CompressionPolicy policy;
    std::uint8_t ordinal;
    const char* value;
    const char* name;
    bool codec;
  } rows[] = {{CompressionPolicy::COMPRESS, 0, "compress", "COMPRESS", true},
              {CompressionPolicy::PASSTHROUGH, 1, "passthrough", "PASSTHROUGH", false},
              {CompressionPolicy::FP16, 2, "fp16", "FP16", false}};
  for (const Row& row : rows) {
    EXPECT_EQ(ordinal(row.policy), row.ordinal);
    EXPECT_EQ(policy_value(row.policy), row.value);
    EXPECT_EQ(policy_name(row.policy), row.name);
    EXPECT_EQ(requires_codec(row.policy), row.codec);
    EXPECT_EQ(policy_from_ordinal(row.ordinal), row.policy);
  }
  for (int bad : {3, 4, 127, 255}) {
    EXPECT_FALSE(policy_from_ordinal(static_cast<std::uint8_t>(bad)).has_value());
  }
}

TEST(CorpusEvent, ViolationKindTextsAndCommonFields) {
  EXPECT_EQ(violation_kind_text(ViolationKind::ConfigMismatch), "config_mismatch");
  EXPECT_EQ(violation_kind_text(ViolationKind::PolicyConflict), "policy_conflict");
  EXPECT_EQ(violation_kind_text(ViolationKind::DuplicateId), "duplicate_id");
  EXPECT_EQ(violation_kind_text(ViolationKind::DimensionMismatch), "dimension_mismatch");

  const SharedText id = share_text("corpus");
  const CorpusEvent events[] = {
      CorpusCreated{id, config(4, 8), CompressionPolicy::FP16, 0},
      VectorsInserted{id, {share_text("a")}, 1, 0},
      CorpusDecompressed{id, 3, 0},
      CompressionPolicyViolationDetected{id, ViolationKind::DuplicateId, share_text("d"), 5},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(static_cast<std::size_t>(events[i].kind()), i);
    EXPECT_EQ(events[i].corpus_id(), id);  // shared, not copied
  }
  EXPECT_EQ(events[3].timestamp(), 5);
  ASSERT_NE(events[3].policy_violation(), nullptr);
  EXPECT_EQ(events[3].corpus_created(), nullptr);
}

TEST(PolicyCodec, RawRecordShapes) {
  const CodecConfig c = config(4, 3);
  const std::vector<float> v{1.0f, -2.5f, 3.25f};
  struct Row {
    CompressionPolicy policy;
    std::uint32_t bytes;
  } rows[] = {{CompressionPolicy::PASSTHROUGH, 12}, {CompressionPolicy::FP16, 6}};
  for (const Row& row : rows) {
    auto record = encode_vector(v, row.policy, c, codebook(4));
    ASSERT_TRUE(record.ok());
    EXPECT_EQ(record.value().indices()->size(), row.bytes);
    EXPECT_EQ(record.value().dimension(), row.bytes);
    EXPECT_EQ(record.value().bit_width(), 8);
    EXPECT_FALSE(record.value().has_residual());
    EXPECT_EQ(record.value().config_hash(), c.config_hash());  // the same shared string
  }
}

TEST(PolicyCodec, Fp16KnownBytes) {
  struct Row {
    float value;
    Bytes bytes;
    float decoded;
  } rows[] = {
      {1.0f, {0x00, 0x3c}, 1.0f},
      {0.1f, {0x66, 0x2e}, 0.0999755859375f},
      {1.00048828125f, {0x00, 0x3c}, 1.0f},  // halfway: ties to even
      {65504.0f, {0xff, 0x7b}, 65504.0f},
      {65520.0f, {0x00, 0x7c}, INFINITY},
      {-65520.0f, {0x00, 0xfc}, -INFINITY},
      {3e-8f, {0x01, 0x00}, 5.9604644775390625e-8f},  // smallest subnormal
      {-0.0f, {0x00, 0x80}, -0.0f},
  };
  const CodecConfig c = config(8, 1);
  for (const Row& row : rows) {
    const std::vector<float> v{row.value};
    auto record = encode_vector(v, CompressionPolicy::FP16, c, codebook(8));
    ASSERT_TRUE(record.ok());
    EXPECT_EQ(*record.value().indices(), row.bytes) << row.value;
    auto decoded =
        decode_entry(VectorEntry(share_text("x"), record.value(), 1), CompressionPolicy::FP16, c,
                     codebook(8));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(decoded.value()[0]),
              std::bit_cast<std::uint32_t>(row.decoded))
        << row.value;
  }
}

TEST(PolicyCodec, PassthroughIsBitExact) {
  const std::vector<std::uint32_t> patterns{
      0x00000000u, 0x80000000u,  // +0.0, -0.0
      0x7fc00000u, 0xffc12345u,  // quiet NaNs with sign and payload
      0x7f800001u, 0x7fbfffffu,  // signalling NaNs
      0x7f800000u, 0xff800000u, 0x00000001u, 0x3f800000u, 0xc0490fdbu};
  std::vector<float> v;
  for (std::uint32_t p : patterns) v.push_back(std::bit_cast<float>(p));
  const CodecConfig c = config(2, static_cast<std::uint32_t>(v.size()));
  auto record = encode_vector(v, CompressionPolicy::PASSTHROUGH, c, codebook(2));
  ASSERT_TRUE(record.ok());
  EXPECT_EQ((*record.value().indices())[4], 0x00);  // -0.0 little-endian: 00 00 00 80
  EXPECT_EQ((*record.value().indices())[7], 0x80);
  auto decoded = decode_entry(VectorEntry(share_text("x"), record.value(), c.dimension()),
                              CompressionPolicy::PASSTHROUGH, c, codebook(2));
  ASSERT_TRUE(decoded.ok());
  ASSERT_EQ(decoded.value().size(), v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(decoded.value()[i]), patterns[i]) << i;
  }
}

TEST(PolicyCodec, OddRawPayloadsFailToDecode) {
  const CodecConfig c = config(4, 4);
  struct Row {
    CompressionPolicy policy;
    std::size_t length;
    const char* message;  // nullptr: decodes
  } rows[] = {
      {CompressionPolicy::PASSTHROUGH, 7, "input and output lengths disagree: 7 vs 4"},
      {CompressionPolicy::PASSTHROUGH, 5, "input and output lengths disagree: 5 vs 4"},
      {CompressionPolicy::PASSTHROUGH, 8, nullptr},
      {CompressionPolicy::PASSTHROUGH, 0, nullptr},
      {CompressionPolicy::FP16, 7, "input and output lengths disagree: 7 vs 6"},
      {CompressionPolicy::FP16, 1, "input and output lengths disagree: 1 vs 0"},
      {CompressionPolicy::FP16, 6, nullptr},
  };
  for (const Row& row : rows) {
    const auto n = static_cast<std::uint32_t>(row.length);
    auto record =
        codec::CompressedVector::create(share_bytes(Bytes(n, 0x3c)), std::nullopt, c.config_hash(), n, 8);
    auto decoded = decode_entry(VectorEntry(share_text("x"), record.value(), 4), row.policy, c,
                                codebook(4));
    if (row.message == nullptr) {
      ASSERT_TRUE(decoded.ok());
      EXPECT_EQ(decoded.value().size(),
                row.length / (row.policy == CompressionPolicy::FP16 ? 2 : 4));
    } else {
      ASSERT_FALSE(decoded.ok());
      EXPECT_EQ(decoded.error().message(), row.message);
    }
  }
}

TEST(PolicyCodec, RawPoliciesIgnoreAnUnfittingCodebook) {
  const CodecConfig c = config(4, 2);
  const std::vector<float> v{0.5f, -0.5f};
  for (CompressionPolicy p : {CompressionPolicy::PASSTHROUGH, CompressionPolicy::FP16}) {
    EXPECT_TRUE(encode_vector(v, p, c, codebook(2)).ok());
  }
  auto compressed = encode_vector(v, CompressionPolicy::COMPRESS, c, codebook(2));
  ASSERT_FALSE(compressed.ok());
  EXPECT_EQ(compressed.error().message(), "codebook bit_width 2 does not match config bit_width 4");
}

TEST(PolicyCodec, CompressMatchesTheCodecAndReusesOneRotation) {
  std::mt19937 rng(3);
  std::normal_distribution<float> gauss(0.0f, 0.4f);
  for (std::uint8_t bit_width : {2, 4, 8}) {
    for (bool residual : {false, true}) {
      const CodecConfig c = config(bit_width, 33, residual);
      const Codebook book = codebook(bit_width);
      std::optional<codec::RotationMatrix> rotation;
      for (int trial = 0; trial < 3; ++trial) {
        std::vector<float> v(33);
        for (float& x : v) x = gauss(rng);
        auto ours = encode_vector(v, CompressionPolicy::COMPRESS, c, book, rotation);
        auto reference = codec::Codec::compress(v, c, book);
        ASSERT_TRUE(ours.ok());
        ASSERT_TRUE(reference.ok());
        EXPECT_EQ(*ours.value().indices(), *reference.value().indices());
        ASSERT_EQ(ours.value().has_residual(), residual);
        if (residual) {
          EXPECT_EQ(**ours.value().residual(), **reference.value().residual());
        }
        ASSERT_TRUE(rotation.has_value());

        auto decoded = decode_entry(VectorEntry(share_text("v"), ours.value(), 33),
                                    CompressionPolicy::COMPRESS, c, book);
        auto expected = codec::Codec::decompress(reference.value(), c, book);
        ASSERT_TRUE(decoded.ok());
        ASSERT_TRUE(expected.ok());
        ASSERT_EQ(decoded.value().size(), 33u);
        for (std::size_t i = 0; i < 33; ++i) {
          EXPECT_EQ(std::bit_cast<std::uint32_t>(decoded.value()[i]),
                    std::bit_cast<std::uint32_t>(expected.value()[i]));
        }
      }
    }
  }
}

}  // namespace
}  // namespace marrowfin::corpus
