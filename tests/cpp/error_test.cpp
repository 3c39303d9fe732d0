#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "core/codec/codec_error.hpp"
#include "core/common/endian.hpp"
#include "core/corpus/corpus_error.hpp"
#include "io/compressed_vector/io_error.hpp"

namespace marrowfin {
namespace {

using codec::CodecError;

TEST(Errors, WrappersKeepTheirCauseAndCompareIt) {
  const CodecError flag = CodecError::invalid_residual_flag(2);
  const io::IoError decode = io::IoError::decode(flag);
  ASSERT_NE(decode.cause(), nullptr);
  EXPECT_EQ(*decode.cause(), flag);
  EXPECT_EQ(decode.message(),
            "decode error: invalid residual flag: expected 0x00 or 0x01, got 0x02");
  EXPECT_NE(decode, io::IoError::decode(CodecError::invalid_residual_flag(3)));
  EXPECT_EQ(io::IoError::invalid_utf8().cause(), nullptr);
  EXPECT_EQ(corpus::CorpusError::codec(flag).cause()->kind(),
            codec::CodecErrorKind::InvalidResidualFlag);
}

TEST(Endian, StoresLowByteFirstAndLoadsItBack) {
  std::array<std::uint8_t, 8> bytes{};
  store_le(bytes.data(), std::uint32_t{0x11223344});
  EXPECT_EQ(bytes, (std::array<std::uint8_t, 8>{0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0}));
  EXPECT_EQ(load_le<std::uint32_t>(bytes.data()), 0x11223344u);
  EXPECT_EQ(load_le<std::uint16_t>(bytes.data() + 1), 0x2233u);
  store_le(bytes.data(), std::uint64_t{0x8877665544332211});
  EXPECT_EQ(bytes, (std::array<std::uint8_t, 8>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
  EXPECT_EQ(load_le<std::uint64_t>(bytes.data()), 0x8877665544332211u);
}

}  // namespace
}  // namespace marrowfin
