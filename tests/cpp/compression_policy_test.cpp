#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "core/corpus/compression_policy.hpp"
#include "core/corpus/corpus_event.hpp"
#include "core/corpus/policy_codec.hpp"
#include "test_support.hpp"

namespace marrowfin::corpus {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::bits_of;
using test::even_codebook;
using test::make_config;

// The texts and ordinals of the policy members themselves are checked through the Python type.
TEST(CompressionPolicy, OrdinalsRoundTripAndViolationKindTexts) {
  for (auto policy : {CompressionPolicy::COMPRESS, CompressionPolicy::PASSTHROUGH, CompressionPolicy::FP16}) {
    EXPECT_EQ(policy_from_ordinal(ordinal(policy)), policy);
  }
  for (int bad : {3, 255}) EXPECT_FALSE(policy_from_ordinal(static_cast<std::uint8_t>(bad)).has_value());
  const std::pair<ViolationKind, const char*> kinds[] = {{ViolationKind::ConfigMismatch, "config_mismatch"},
                                                         {ViolationKind::PolicyConflict, "policy_conflict"},
                                                         {ViolationKind::DuplicateId, "duplicate_id"},
                                                         {ViolationKind::DimensionMismatch, "dimension_mismatch"}};
  for (const auto& [kind, text] : kinds) EXPECT_EQ(violation_kind_text(kind), text);
}

// Raw payloads are records of bit width 8 whose "dimension" is the byte count.
codec::CompressedVector raw_record(const std::vector<float>& v, CompressionPolicy policy, std::uint32_t bytes) {
  const auto config = make_config(4, static_cast<std::uint32_t>(v.size()));
  auto record = encode_vector(v, policy, config, even_codebook(2)).value();  // the codebook is never consulted
  EXPECT_EQ(record.dimension(), bytes);
  EXPECT_EQ(record.bit_width(), 8);
  EXPECT_FALSE(record.has_residual());
  EXPECT_EQ(record.config_hash(), config.config_hash());  // the same shared string
  return record;
}

std::vector<float> decoded(const codec::CompressedVector& record, CompressionPolicy policy, std::uint32_t dimension) {
  return decode_entry(VectorEntry(share_text("x"), record, dimension), policy, make_config(4, dimension),
                      even_codebook(4)).value();
}

TEST(PolicyCodec, Fp16KnownBytes) {
  const std::tuple<float, Bytes, float> rows[] = {
      {1.0f, {0x00, 0x3c}, 1.0f},
      {0.1f, {0x66, 0x2e}, 0.0999755859375f},
      {1.00048828125f, {0x00, 0x3c}, 1.0f},  // halfway: ties to even
      {65504.0f, {0xff, 0x7b}, 65504.0f},
      {65520.0f, {0x00, 0x7c}, INFINITY},
      {-65520.0f, {0x00, 0xfc}, -INFINITY},
      {3e-8f, {0x01, 0x00}, 5.9604644775390625e-8f},  // smallest subnormal
      {-0.0f, {0x00, 0x80}, -0.0f},
  };
  for (const auto& [value, bytes, back] : rows) {
    const auto record = raw_record({value}, CompressionPolicy::FP16, 2);
    EXPECT_EQ(*record.indices(), bytes) << value;
    EXPECT_EQ(bits_of(decoded(record, CompressionPolicy::FP16, 1)), bits_of(std::vector<float>{back})) << value;
  }
}

TEST(PolicyCodec, PassthroughIsBitExact) {
  const std::vector<std::uint32_t> patterns{0x00000000u, 0x80000000u,  // +0.0, -0.0
                                            0x7fc00000u, 0xffc12345u,  // quiet NaNs with sign and payload
                                            0x7f800001u, 0x7fbfffffu,  // signalling NaNs
                                            0xff800000u, 0x00000001u, 0xc0490fdbu};
  std::vector<float> v;
  for (std::uint32_t p : patterns) v.push_back(std::bit_cast<float>(p));
  const auto record = raw_record(v, CompressionPolicy::PASSTHROUGH, 36);
  EXPECT_EQ(Bytes(record.indices()->begin() + 4, record.indices()->begin() + 8), (Bytes{0, 0, 0, 0x80}));
  EXPECT_EQ(bits_of(decoded(record, CompressionPolicy::PASSTHROUGH, 9)), patterns);
}

TEST(PolicyCodec, RawPayloadsOfTheWrongLengthFailToDecode) {
  const auto config = make_config(4, 4);
  const std::tuple<CompressionPolicy, std::uint32_t, const char*> rows[] = {
      {CompressionPolicy::PASSTHROUGH, 7, "input and output lengths disagree: 7 vs 4"},
      {CompressionPolicy::PASSTHROUGH, 0, "ok"},
      {CompressionPolicy::FP16, 7, "input and output lengths disagree: 7 vs 6"},
      {CompressionPolicy::FP16, 1, "input and output lengths disagree: 1 vs 0"},
  };
  for (const auto& [policy, length, message] : rows) {
    auto record = codec::CompressedVector::create(share_bytes(Bytes(length, 0x3c)), std::nullopt, config.config_hash(),
                                                  length, 8).value();
    auto result = decode_entry(VectorEntry(share_text("x"), record, 4), policy, config, even_codebook(4));
    EXPECT_EQ(result.ok() ? "ok" : result.error().message(), message);
  }
}

}  // namespace
}  // namespace marrowfin::corpus
