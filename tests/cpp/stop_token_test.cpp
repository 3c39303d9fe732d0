// A raised StopToken ends every long core call early, reports Interrupted and
// changes nothing; the same call with the token down gives its usual result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/backend/brute_force_backend.hpp"
#include "core/codec/batch.hpp"
#include "core/codec/service.hpp"
#include "core/rotation/rotation_cache.hpp"
#include "core/rotation/rotation_matrix.hpp"
#include "test_support.hpp"

namespace marrowfin {
namespace {

StopToken& raised() {
  static StopToken token;
  token.request_stop();
  return token;
}

TEST(StopToken, EndsBatchCompressionAndDecompression) {
  const auto config = test::make_config(4, 64, true);
  const auto codebook = test::even_codebook(4, -0.5f, 0.5f);
  const auto data = test::gaussian_floats(300 * 64, 3, 0.1f);
  const auto stopped =
      codec::batch_detail::compress_batch(data, 300, 64, config, codebook, 2, raised());
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error(), codec::CodecError::interrupted());

  const auto records = codec::Codec::compress_batch(data, 300, 64, config, codebook).value();
  std::vector<float> out(data.size(), 7.0f);
  const auto status =
      codec::batch_detail::decompress_batch(records, config, codebook, out, 2, raised());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), codec::CodecError::interrupted());
  EXPECT_TRUE(codec::Codec::decompress_batch(records, config, codebook, out).ok());
}

TEST(StopToken, AbandonedRotationIsNotCached) {
  constexpr std::uint64_t kSeed = 0x5eed'0ff;
  EXPECT_FALSE(rotation::RotationMatrix::cached(kSeed, 96, raised()).has_value());
  EXPECT_EQ(rotation::RotationCache::process_wide().find(kSeed, 96), nullptr);
  const auto built = rotation::RotationMatrix::cached(kSeed, 96, StopToken::never());
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(built->values().size(), 96u * 96u);
}

TEST(StopToken, EndsBackendSearchWithoutChangingIt) {
  backend::BruteForceBackend store;
  const auto values = test::gaussian_floats(40 * 8, 5);
  std::vector<std::string> ids;
  std::vector<backend::IngestItem> items;
  for (std::size_t i = 0; i < 40; ++i) ids.push_back(std::to_string(i));
  for (std::size_t i = 0; i < 40; ++i) items.push_back({ids[i], {values.data() + i * 8, 8}});
  ASSERT_TRUE(store.ingest(items).ok());
  const std::span<const float> query(values.data(), 8);
  const auto stopped = store.search(query, 5, raised());
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error(), backend::BackendError::interrupted());
  const auto found = store.search(query, 5);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(*found.value().front().vector_id, "0");
  EXPECT_EQ(store.count(), 40u);
}

}  // namespace
}  // namespace marrowfin
