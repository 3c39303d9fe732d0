#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "core/corpus/policy_codec.hpp"
#include "test_support.hpp"

namespace marrowfin::corpus {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::even_codebook;
using test::make_config;

// Payloads the corpus never writes itself; what it does write, and reads
// back, is checked bit for bit through the Python type.
TEST(PolicyCodec, RawPayloadsOfTheWrongLengthFailToDecode) {
  const auto config = make_config(4, 4);
  const std::tuple<CompressionPolicy, std::uint32_t, const char*> rows[] = {
      {CompressionPolicy::PASSTHROUGH, 7, "input and output lengths disagree: 7 vs 4"},
      {CompressionPolicy::PASSTHROUGH, 0, "ok"},
      {CompressionPolicy::FP16, 7, "input and output lengths disagree: 7 vs 6"},
      {CompressionPolicy::FP16, 1, "input and output lengths disagree: 1 vs 0"},
  };
  for (const auto& [policy, length, message] : rows) {
    auto record = codec::CompressedVector::create(share_bytes(Bytes(length, 0x3c)), std::nullopt,
                                                  config.config_hash(), length, 8)
                      .value();
    auto result =
        decode_entry(VectorEntry(share_text("x"), record, 4), policy, config, even_codebook(4));
    EXPECT_EQ(result.ok() ? "ok" : result.error().message(), message);
  }
}

}  // namespace
}  // namespace marrowfin::corpus
