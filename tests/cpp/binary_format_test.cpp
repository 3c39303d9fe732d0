#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/codec/compressed_vector.hpp"
#include "io/compressed_vector/io_error.hpp"
#include "io/compressed_vector/pack.hpp"
#include "io/compressed_vector/unpack.hpp"
#include "io/compressed_vector/utf8.hpp"

namespace marrowfin::io {
namespace {

using Bytes = std::vector<std::uint8_t>;
using codec::CompressedVector;

const std::string kHash = "cc50f0a21077b1971aadb240e4209ff1acc3b9da32233100e481f03b5161fbed";

CompressedVector make_record(Bytes indices, std::optional<Bytes> residual, std::uint8_t bit_width,
                             const std::string& hash = kHash) {
  const auto dimension = static_cast<std::uint32_t>(indices.size());
  std::optional<SharedBytes> shared_residual;
  if (residual) shared_residual = share_bytes(std::move(*residual));
  return CompressedVector::create(share_bytes(std::move(indices)), std::move(shared_residual),
                                  share_text(hash), dimension, bit_width)
      .value();
}

// Bit-by-bit writer straight from the layout description, to check the fast one against.
Bytes reference_pack(const Bytes& indices, unsigned bit_width) {
  Bytes area((indices.size() * bit_width + 7) / 8, 0);
  for (std::size_t k = 0; k < indices.size() * bit_width; ++k) {
    if ((indices[k / bit_width] >> (k % bit_width)) & 1u)
      area[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
  }
  return area;
}

Bytes header(std::uint32_t dimension, std::uint8_t bit_width, std::uint8_t version = 1,
             const Bytes& hash_field = Bytes(kHash.begin(), kHash.end())) {
  Bytes out(kHeaderLen, 0);
  out[0] = version;
  for (std::size_t i = 0; i < hash_field.size() && i < kHashFieldLen; ++i)
    out[1 + i] = hash_field[i];
  for (int k = 0; k < 4; ++k) out[65 + k] = static_cast<std::uint8_t>(dimension >> (8 * k));
  out[69] = bit_width;
  return out;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(BinaryFormat, FastPackingMatchesBitByBitReference) {
  std::mt19937 rng(7);
  for (std::uint8_t bit_width : {2, 4, 8}) {
    for (std::size_t n = 0; n < 70; ++n) {
      Bytes indices(n), masked(n);
      for (std::size_t i = 0; i < n; ++i) {
        indices[i] = static_cast<std::uint8_t>(rng());  // high bits must be cut
        masked[i] = static_cast<std::uint8_t>(indices[i] & ((1u << bit_width) - 1u));
      }
      Bytes packed(packed_length(n, bit_width) + 1, 0xaa);
      pack_indices(indices, bit_width, packed.data());
      EXPECT_EQ(packed.back(), 0xaa) << "wrote past the packed area, n=" << n;
      packed.pop_back();
      EXPECT_EQ(packed, reference_pack(masked, bit_width)) << int(bit_width) << " n=" << n;
      Bytes unpacked(n + 1, 0xaa);
      unpack_indices(packed.data(), bit_width, unpacked.data(), n);
      EXPECT_EQ(unpacked.back(), 0xaa);
      unpacked.pop_back();
      EXPECT_EQ(unpacked, masked);
    }
  }
}

// Exact boundaries of each field. The order of the checks and the other
// messages are checked end to end by the Python suite.
TEST(BinaryFormat, HostileBuffersFailAtTheFieldBoundaries) {
  const Bytes flagged = cat(header(3, 4), {0x21, 0x0f, 0x01});  // 74 bytes, 2 packed
  auto u32 = [](std::uint32_t v) {
    return Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                 static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  };
  const std::pair<Bytes, std::string> cases[] = {
      {header(3, 4, 1, {0xc0, 0x80}), "invalid UTF-8 in config hash"},
      {header(1000, 255), "invalid bit_width 255 in serialized data"},
      {cat(cat(flagged, u32(6)), Bytes(7, 1)), "ok"},
      {cat(cat(flagged, u32(7)), Bytes(7, 1)),
       "decode error: input and output lengths disagree: 7 vs 6"},
      {header(0xffffffffu, 2), "data too short: needed 1073741895 bytes, got 70"},
  };
  for (const auto& [data, message] : cases) {
    const auto parsed = from_bytes(data);
    EXPECT_EQ(parsed.ok() ? "ok" : parsed.error().message(), message);
  }
  // A longer hash is cut to its 64-byte field.
  EXPECT_EQ(*from_bytes(to_bytes(make_record({1}, std::nullopt, 8, kHash + "extra")))
                 .value()
                 .config_hash(),
            kHash);
  // Every strict prefix of a record with residual asks for exactly the next field.
  const Bytes full = to_bytes(make_record({1, 2, 3, 0, 1}, Bytes(10, 9), 2));
  for (std::size_t n = 0; n < full.size(); ++n) {
    const auto parsed = from_bytes(Bytes(full.begin(), full.begin() + n));
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error(), IoError::too_short(n < 70   ? 70u
                                                 : n < 73 ? 73u
                                                 : n < 77 ? 77u
                                                          : 87u,
                                                 n))
        << n;
  }
}

// Decodes code points the naive way, then rejects overlong forms, surrogates and values past
// U+10FFFF.
bool reference_utf8(const std::uint8_t* s, std::size_t n) {
  static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  for (std::size_t i = 0, length = 0; i < n; i += length) {
    const std::uint8_t b = s[i];
    std::uint32_t cp = 0;
    if (b < 0x80)
      length = 1, cp = b;
    else if ((b & 0xe0) == 0xc0)
      length = 2, cp = b & 0x1fu;
    else if ((b & 0xf0) == 0xe0)
      length = 3, cp = b & 0x0fu;
    else if ((b & 0xf8) == 0xf0)
      length = 4, cp = b & 0x07u;
    else
      return false;
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3fu);
    }
    if (cp < kMinimum[length] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return false;
  }
  return true;
}

TEST(Utf8, AgreesWithReferenceOnAllShortSequences) {
  std::size_t disagreements = 0;
  auto check = [&](const std::uint8_t* s, std::size_t n) {
    disagreements += is_valid_utf8({s, n}) != reference_utf8(s, n);
  };
  for (std::uint32_t v = 0; v < (1u << 24); ++v) {  // every 1-, 2- and 3-byte string
    const std::uint8_t s[3] = {static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    if (v < 256) check(s + 2, 1);
    if (v < 65536) check(s + 1, 2);
    check(s, 3);
  }
  const std::uint8_t tails[] = {0x00, 0x7f, 0x80, 0xbf, 0xc0, 0xff};
  for (unsigned lead = 0xf0; lead <= 0xff; ++lead) {
    for (unsigned second = 0; second < 256; ++second) {
      for (std::uint8_t third : tails) {
        for (std::uint8_t fourth : tails) {
          const std::uint8_t s[4] = {static_cast<std::uint8_t>(lead),
                                     static_cast<std::uint8_t>(second), third, fourth};
          check(s, 4);
        }
      }
    }
  }
  EXPECT_EQ(disagreements, 0u);
  // Boundaries checked by hand, so a shared misreading with the reference would still show.
  EXPECT_TRUE(
      is_valid_utf8(Bytes{0xed, 0x9f, 0xbf, 0xee, 0x80, 0x80, 0xf4, 0x8f, 0xbf, 0xbf, 0x00}));
  for (const Bytes& bad : {Bytes{0xc1, 0xbf}, Bytes{0xe0, 0x9f, 0xbf}, Bytes{0xed, 0xa0, 0x80},
                           Bytes{0xed, 0xbf, 0xbf}, Bytes{0xf0, 0x8f, 0xbf, 0xbf},
                           Bytes{0xf4, 0x90, 0x80, 0x80}, Bytes{'a', 0xf0, 0x9f, 0x98}}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << std::hex << int(bad[0]);
  }
}

}  // namespace
}  // namespace marrowfin::io
