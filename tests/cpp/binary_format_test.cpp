#include <gtest/gtest.h>

#include <array>
#include <cctype>
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
  auto record = CompressedVector::create(share_bytes(std::move(indices)), std::move(shared_residual),
                                         share_text(hash), dimension, bit_width);
  EXPECT_TRUE(record.ok());
  return std::move(record).value();
}

// Bit-by-bit writer straight from the layout description, to check the fast one against.
Bytes reference_pack(const Bytes& indices, unsigned bit_width) {
  Bytes area((indices.size() * bit_width + 7) / 8, 0);
  for (std::size_t i = 0; i < indices.size(); ++i) {
    for (unsigned b = 0; b < bit_width; ++b) {
      if ((indices[i] >> b) & 1u) {
        const std::size_t k = i * bit_width + b;
        area[k / 8] = static_cast<std::uint8_t>(area[k / 8] | (1u << (k % 8)));
      }
    }
  }
  return area;
}

Bytes header(std::uint32_t dimension, std::uint8_t bit_width, std::uint8_t version = 1,
             const Bytes& hash_field = Bytes(kHash.begin(), kHash.end())) {
  Bytes out(HEADER_LEN, 0);
  out[0] = version;
  for (std::size_t i = 0; i < hash_field.size() && i < HASH_FIELD_LEN; ++i) out[1 + i] = hash_field[i];
  for (int k = 0; k < 4; ++k) out[65 + k] = static_cast<std::uint8_t>(dimension >> (8 * k));
  out[69] = bit_width;
  return out;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string error_text(const Bytes& data) {
  auto parsed = from_bytes(data);
  return parsed.ok() ? "ok" : parsed.error().message();
}

TEST(BinaryFormat, WorkedExampleIs73Bytes) {
  const Bytes bytes = to_bytes(make_record({1, 2, 15}, std::nullopt, 4));
  Bytes expected = cat(header(3, 4), {0x21, 0x0f, 0x00});
  EXPECT_EQ(bytes, expected);
  ASSERT_EQ(bytes.size(), 73u);

  auto parsed = from_bytes(bytes);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(*parsed.value().indices(), (Bytes{1, 2, 15}));
  EXPECT_EQ(*parsed.value().config_hash(), kHash);
  EXPECT_FALSE(parsed.value().has_residual());
}

TEST(BinaryFormat, PacksTwoBitIndicesLowBitsFirst) {
  Bytes out(2, 0xee);
  pack_indices(Bytes{3, 0, 1, 2}, 2, out.data());
  EXPECT_EQ(out[0], 0x93);
  pack_indices(Bytes{3, 0, 1, 2, 1}, 2, out.data());
  EXPECT_EQ(out, (Bytes{0x93, 0x01}));
}

TEST(BinaryFormat, SizesForDimension768) {
  Bytes indices(768, 7);
  EXPECT_EQ(to_bytes(make_record(indices, std::nullopt, 4)).size(), 455u);
  EXPECT_EQ(to_bytes(make_record(indices, Bytes(1536, 1), 4)).size(), 1995u);
}

TEST(BinaryFormat, FastPackingMatchesBitByBitReference) {
  std::mt19937 rng(7);
  for (unsigned bit_width : {2u, 4u, 8u}) {
    for (std::size_t n = 0; n < 70; ++n) {
      Bytes indices(n);
      for (auto& v : indices) v = static_cast<std::uint8_t>(rng());  // high bits must be cut
      Bytes masked = indices;
      for (auto& v : masked) v = static_cast<std::uint8_t>(v & ((1u << bit_width) - 1u));
      const Bytes expected = reference_pack(masked, bit_width);
      Bytes packed(packed_length(n, static_cast<std::uint8_t>(bit_width)) + 1, 0xaa);
      pack_indices(indices, static_cast<std::uint8_t>(bit_width), packed.data());
      EXPECT_EQ(packed.back(), 0xaa) << "wrote past the packed area, n=" << n;
      packed.pop_back();
      EXPECT_EQ(packed, expected) << "bit_width=" << bit_width << " n=" << n;

      Bytes unpacked(n + 1, 0xaa);
      unpack_indices(packed.data(), static_cast<std::uint8_t>(bit_width), unpacked.data(), n);
      EXPECT_EQ(unpacked.back(), 0xaa);
      unpacked.pop_back();
      EXPECT_EQ(unpacked, masked);
    }
  }
}

TEST(BinaryFormat, RandomRecordsRoundTripByteStable) {
  std::mt19937 rng(11);
  for (std::uint8_t bit_width : {2, 4, 8}) {
    for (std::uint32_t dimension : {0u, 1u, 2u, 3u, 5u, 8u, 13u, 64u, 767u, 1025u}) {
      for (bool with_residual : {false, true}) {
        Bytes indices(dimension);
        for (auto& v : indices) v = static_cast<std::uint8_t>(rng() % (1u << bit_width));
        std::optional<Bytes> residual;
        if (with_residual) {
          residual.emplace(2 * dimension);
          for (auto& v : *residual) v = static_cast<std::uint8_t>(rng());
        }
        const CompressedVector record = make_record(indices, residual, bit_width);
        const Bytes bytes = to_bytes(record);
        const std::uint64_t packed = packed_length(dimension, bit_width);
        EXPECT_EQ(bytes.size(), with_residual ? 75 + packed + 2 * dimension : 71 + packed);

        auto parsed = from_bytes(bytes);
        ASSERT_TRUE(parsed.ok()) << parsed.error().message();
        const CompressedVector& back = parsed.value();
        EXPECT_EQ(back.dimension(), dimension);
        EXPECT_EQ(back.bit_width(), bit_width);
        EXPECT_EQ(*back.indices(), indices);
        EXPECT_EQ(*back.config_hash(), kHash);
        ASSERT_EQ(back.has_residual(), with_residual);
        if (with_residual) {
          EXPECT_EQ(**back.residual(), *residual);
        }
        EXPECT_EQ(to_bytes(back), bytes);
      }
    }
  }
}

TEST(BinaryFormat, HashFieldTrimsTrailingZerosOnly) {
  const Bytes body{0x21, 0x0f, 0x00};
  struct Case {
    Bytes field;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{'a', 'b', 0, 'c', 'd'}, std::string("ab\0cd", 5)},
      {{0, 0, 'x'}, std::string("\0\0x", 3)},
      {{0xc3, 0xa9, 0xf0, 0x9f, 0x98, 0x80}, "\xc3\xa9\xf0\x9f\x98\x80"},
  };
  for (const auto& c : cases) {
    auto parsed = from_bytes(cat(header(3, 4, 1, c.field), body));
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(*parsed.value().config_hash(), c.text);
  }
  // A longer hash is cut to the field.
  const std::string long_hash = kHash + "extra";
  const Bytes bytes = to_bytes(make_record({1}, std::nullopt, 8, long_hash));
  EXPECT_EQ(*from_bytes(bytes).value().config_hash(), kHash);
}

TEST(BinaryFormat, PaddingBitsAndTrailingBytesAreIgnored) {
  auto padded = from_bytes(cat(header(3, 4), {0x21, 0xff, 0x00, 0xde, 0xad}));
  ASSERT_TRUE(padded.ok());
  EXPECT_EQ(*padded.value().indices(), (Bytes{1, 2, 15}));
  for (std::uint8_t bit_width : {2, 4, 8}) {
    auto empty = from_bytes(cat(header(0, bit_width), {0x00}));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().indices()->empty());
  }
}

struct HostileCase {
  const char* name;
  Bytes data;
  std::string message;
};

std::vector<HostileCase> hostile_cases() {
  const Bytes valid = cat(header(3, 4), {0x21, 0x0f, 0x00});  // 73 bytes, P = 2
  const Bytes flagged = cat(header(3, 4), {0x21, 0x0f, 0x01});
  auto prefix = [](const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); };
  auto u32 = [](std::uint32_t v) {
    return Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                 static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  };
  const std::string flag_error = "decode error: invalid residual flag: expected 0x00 or 0x01, got ";
  return {
      {"empty", {}, "data too short: needed 70 bytes, got 0"},
      {"one byte", prefix(valid, 1), "data too short: needed 70 bytes, got 1"},
      {"header minus one", prefix(valid, 69), "data too short: needed 70 bytes, got 69"},
      {"header only, dimension 0", header(0, 8), "data too short: needed 71 bytes, got 70"},
      {"flag missing", prefix(valid, 72), "data too short: needed 73 bytes, got 72"},
      {"exact", valid, "ok"},
      {"one byte over", cat(valid, {0x55}), "ok"},
      {"bad UTF-8 beats version", cat(header(3, 4, 2, {0xff}), {0x21, 0x0f, 0x00}),
       "invalid UTF-8 in config hash"},
      {"bad UTF-8 beats short indices", header(3, 4, 1, {0xc0, 0x80}),
       "invalid UTF-8 in config hash"},
      {"version 0", cat(header(3, 4, 0), {0x21, 0x0f, 0x00}), "unknown format version 0x00"},
      {"version 2", cat(header(3, 4, 2), {0x21, 0x0f, 0x00}), "unknown format version 0x02"},
      {"version 0x7f", cat(header(3, 4, 0x7f), {0x21, 0x0f, 0x00}), "unknown format version 0x7f"},
      {"version beats bit width", header(3, 3, 2), "unknown format version 0x02"},
      {"bit width 3", header(3, 3), "invalid bit_width 3 in serialized data"},
      {"bit width 0", header(3, 0), "invalid bit_width 0 in serialized data"},
      {"bit width 16", header(3, 16), "invalid bit_width 16 in serialized data"},
      {"bit width beats length", header(1000, 255), "invalid bit_width 255 in serialized data"},
      {"flag 0x02", cat(header(3, 4), {0x21, 0x0f, 0x02}), flag_error + "0x02"},
      {"flag 0xab", cat(header(3, 4), {0x21, 0x0f, 0xab}), flag_error + "0xab"},
      {"flag 0x01, no length", flagged, "data too short: needed 77 bytes, got 73"},
      {"flag 0x01, length cut", cat(flagged, {6, 0, 0}), "data too short: needed 77 bytes, got 76"},
      {"residual one short", cat(cat(flagged, u32(6)), Bytes(5, 1)),
       "data too short: needed 83 bytes, got 82"},
      {"residual exact", cat(cat(flagged, u32(6)), Bytes(6, 1)), "ok"},
      {"residual one over", cat(cat(flagged, u32(6)), Bytes(7, 1)), "ok"},
      {"residual length 2d minus 1", cat(cat(flagged, u32(5)), Bytes(5, 1)),
       "decode error: input and output lengths disagree: 5 vs 6"},
      {"residual length 2d plus 1", cat(cat(flagged, u32(7)), Bytes(7, 1)),
       "decode error: input and output lengths disagree: 7 vs 6"},
      {"residual length 2^32-1", cat(flagged, u32(0xffffffffu)),
       "data too short: needed 4294967372 bytes, got 77"},
      {"dimension 2^32-1 at bit width 8", cat(header(0xffffffffu, 8), Bytes(30, 0)),
       "data too short: needed 4294967366 bytes, got 100"},
      {"dimension 2^32-1 at bit width 2", header(0xffffffffu, 2),
       "data too short: needed 1073741895 bytes, got 70"},
  };
}

class HostileBuffers : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileBuffers, FirstFailingCheckDecides) {
  const HostileCase& c = GetParam();
  EXPECT_EQ(error_text(c.data), c.message) << c.name;
}

INSTANTIATE_TEST_SUITE_P(BinaryFormat, HostileBuffers, testing::ValuesIn(hostile_cases()),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p != '\0'; ++p) {
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return name;
                         });

TEST(BinaryFormat, TooShortNeverReadsPastTheInput) {
  // Every strict prefix of a record with residual fails with TooShort and the
  // exact requirement of the next field.
  const Bytes full = to_bytes(make_record({1, 2, 3, 0, 1}, Bytes(10, 9), 2));  // P = 2
  for (std::size_t n = 0; n < full.size(); ++n) {
    auto parsed = from_bytes(Bytes(full.begin(), full.begin() + n));
    ASSERT_FALSE(parsed.ok());
    ASSERT_EQ(parsed.error().kind(), IoErrorKind::TooShort);
    const std::uint64_t needed = n < 70 ? 70 : n < 73 ? 73 : n < 77 ? 77 : 87;
    EXPECT_EQ(parsed.error().needed(), needed) << n;
    EXPECT_EQ(parsed.error().got(), n);
  }
}

// Decodes code points the naive way and then rejects overlong forms,
// surrogates and values past U+10FFFF.
bool reference_utf8(const std::uint8_t* s, std::size_t n) {
  static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = s[i];
    std::size_t length;
    std::uint32_t cp;
    if (b < 0x80) {
      length = 1, cp = b;
    } else if ((b & 0xe0) == 0xc0) {
      length = 2, cp = b & 0x1fu;
    } else if ((b & 0xf0) == 0xe0) {
      length = 3, cp = b & 0x0fu;
    } else if ((b & 0xf8) == 0xf0) {
      length = 4, cp = b & 0x07u;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3fu);
    }
    if (cp < kMinimum[length] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return false;
    i += length;
  }
  return true;
}

TEST(Utf8, AgreesWithReferenceOnAllShortSequences) {
  std::array<std::uint8_t, 4> s{};
  std::size_t disagreements = 0;
  for (std::uint32_t v = 0; v < (1u << 24); ++v) {  // every 1-, 2- and 3-byte string
    s = {static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
         static_cast<std::uint8_t>(v), 0};
    if (v < 256 && is_valid_utf8({s.data() + 2, 1}) != reference_utf8(s.data() + 2, 1)) {
      ++disagreements;
    }
    if (v < 65536 && is_valid_utf8({s.data() + 1, 2}) != reference_utf8(s.data() + 1, 2)) {
      ++disagreements;
    }
    if (is_valid_utf8({s.data(), 3}) != reference_utf8(s.data(), 3)) ++disagreements;
  }
  const std::uint8_t tails[] = {0x00, 0x7f, 0x80, 0xbf, 0xc0, 0xff};
  for (unsigned lead = 0xf0; lead <= 0xff; ++lead) {
    for (unsigned second = 0; second < 256; ++second) {
      for (std::uint8_t third : tails) {
        for (std::uint8_t fourth : tails) {
          s = {static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(second), third, fourth};
          if (is_valid_utf8(s) != reference_utf8(s.data(), 4)) ++disagreements;
        }
      }
    }
  }
  EXPECT_EQ(disagreements, 0u);
}

TEST(Utf8, KnownBoundaries) {
  struct Case {
    Bytes bytes;
    bool valid;
  } cases[] = {
      {{0x7f}, true},
      {{0xc2, 0x80}, true},                 // U+0080
      {{0xc1, 0xbf}, false},                // overlong U+007F
      {{0xe0, 0x9f, 0xbf}, false},          // overlong U+07FF
      {{0xed, 0x9f, 0xbf}, true},           // U+D7FF
      {{0xed, 0xa0, 0x80}, false},          // U+D800
      {{0xed, 0xbf, 0xbf}, false},          // U+DFFF
      {{0xee, 0x80, 0x80}, true},           // U+E000
      {{0xf0, 0x8f, 0xbf, 0xbf}, false},    // overlong U+FFFF
      {{0xf4, 0x8f, 0xbf, 0xbf}, true},     // U+10FFFF
      {{0xf4, 0x90, 0x80, 0x80}, false},    // U+110000
      {{0xe2, 0x82}, false},                // truncated
      {{'a', 0xf0, 0x9f, 0x98}, false},     // truncated at the end
      {{0x00, 'a', 0x00}, true},            // NUL is a character
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
}

}  // namespace
}  // namespace marrowfin::io
