#include <gtest/gtest.h>

#include <string>

#include "core/codec/codec_config.hpp"
#include "core/codec/sha256.hpp"

namespace marrowfin::codec {
namespace {

TEST(Sha256, Fips180KnownAnswers) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnop"
                       "klmnopqlmnopqrmnopqrsnopqrstnopqrstu"),
            "b99cc2501e82068e880456d8579df5a96a4e3d91be0e5f2c407564e067593702");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PaddingBoundaries) {
  // Lengths around the 55/56/64-byte padding edges, checked against values from a reference.
  EXPECT_EQ(sha256_hex(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(sha256_hex(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(sha256_hex(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(CodecConfig, CanonicalTextAndHash) {
  auto config = CodecConfig::create(4, 42, 768, true);
  ASSERT_TRUE(config.ok());
  EXPECT_EQ(config.value().canonical_text(),
            "CodecConfig(bit_width=4,seed=42,dimension=768,residual_enabled=True)");
  EXPECT_EQ(*config.value().config_hash(),
            "cc50f0a21077b1971aadb240e4209ff1acc3b9da32233100e481f03b5161fbed");
  EXPECT_EQ(config.value().num_codebook_entries(), 16u);

  auto max_seed = CodecConfig::create(2, 18446744073709551615ull, 1, false);
  ASSERT_TRUE(max_seed.ok());
  EXPECT_EQ(max_seed.value().canonical_text(),
            "CodecConfig(bit_width=2,seed=18446744073709551615,dimension=1,residual_enabled=False)");
}

TEST(CodecConfig, ResidualFlagChangesHash) {
  auto on = CodecConfig::create(8, 7, 16, true);
  auto off = CodecConfig::create(8, 7, 16, false);
  auto again = CodecConfig::create(8, 7, 16, true);
  EXPECT_NE(*on.value().config_hash(), *off.value().config_hash());
  EXPECT_EQ(*on.value().config_hash(), *again.value().config_hash());
}

struct InvalidCase {
  int bit_width;
  unsigned dimension;
  const char* message;
};

class CodecConfigInvalid : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(CodecConfigInvalid, ReportsFirstFailingCheck) {
  const auto& c = GetParam();
  auto config = CodecConfig::create(static_cast<std::uint8_t>(c.bit_width), 0, c.dimension, true);
  ASSERT_FALSE(config.ok());
  EXPECT_EQ(config.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CodecConfigInvalid,
    ::testing::Values(InvalidCase{0, 8, "bit_width must be one of [2, 4, 8], got 0"},
                      InvalidCase{3, 8, "bit_width must be one of [2, 4, 8], got 3"},
                      InvalidCase{16, 8, "bit_width must be one of [2, 4, 8], got 16"},
                      InvalidCase{255, 8, "bit_width must be one of [2, 4, 8], got 255"},
                      InvalidCase{3, 0, "bit_width must be one of [2, 4, 8], got 3"},
                      InvalidCase{4, 0, "dimension must be > 0, got 0"},
                      InvalidCase{4, 16385, "dimension must be <= 16384, got 16385"}));

TEST(CodecError, HexByteMessages) {
  EXPECT_EQ(CodecError::invalid_residual_flag(7).message(),
            "invalid residual flag: expected 0x00 or 0x01, got 0x07");
  EXPECT_EQ(CodecError::invalid_residual_flag(171).message(),
            "invalid residual flag: expected 0x00 or 0x01, got 0xab");
  EXPECT_EQ(CodecError::codebook_incompatible(4, 2).message(),
            "codebook bit_width 2 does not match config bit_width 4");
  EXPECT_EQ(CodecError::dimension_mismatch(5, 4).message(),
            "vector length 4 does not match config dimension 5");
  EXPECT_EQ(CodecError::config_mismatch(share_text("aa"), share_text("bb")).message(),
            "compressed config_hash bb does not match config hash aa");
}

}  // namespace
}  // namespace marrowfin::codec
