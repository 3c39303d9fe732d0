#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "core/codec/codec_config.hpp"
#include "core/codec/sha256.hpp"

namespace marrowfin::codec {
namespace {

TEST(Sha256, KnownAnswers) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopklmnopqlmnopqrmnopqrsnopqrstnopqrstu",
       "b99cc2501e82068e880456d8579df5a96a4e3d91be0e5f2c407564e067593702"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Around the 55/56/64-byte padding edges.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& [text, digest] : cases) EXPECT_EQ(sha256_hex(text), digest) << text.size();
}

TEST(CodecConfig, CanonicalTextAndHash) {
  const auto config = CodecConfig::create(4, 42, 768, true).value();
  EXPECT_EQ(config.canonical_text(), "CodecConfig(bit_width=4,seed=42,dimension=768,residual_enabled=True)");
  EXPECT_EQ(*config.config_hash(), "cc50f0a21077b1971aadb240e4209ff1acc3b9da32233100e481f03b5161fbed");
  EXPECT_EQ(CodecConfig::create(2, 18446744073709551615ull, 16384, false).value().canonical_text(),
            "CodecConfig(bit_width=2,seed=18446744073709551615,dimension=16384,residual_enabled=False)");
}

TEST(CodecConfig, ReportsTheFirstFailingCheck) {
  const std::tuple<int, unsigned, const char*> cases[] = {
      {0, 8, "bit_width must be one of [2, 4, 8], got 0"},
      {255, 8, "bit_width must be one of [2, 4, 8], got 255"},
      {3, 0, "bit_width must be one of [2, 4, 8], got 3"},
      {4, 0, "dimension must be > 0, got 0"},
      {4, 16385, "dimension must be <= 16384, got 16385"},
  };
  for (const auto& [bit_width, dimension, message] : cases) {
    const auto config = CodecConfig::create(static_cast<std::uint8_t>(bit_width), 0, dimension, true);
    EXPECT_EQ(config.ok() ? "ok" : config.error().message(), message);
  }
}

}  // namespace
}  // namespace marrowfin::codec
