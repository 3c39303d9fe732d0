#include "core/common/siphash.hpp"

#include <bit>
#include <chrono>
#include <cstddef>
#include <random>

#include "core/common/endian.hpp"

namespace marrowfin {

namespace {

struct State {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t block) noexcept {
    v3 ^= block;
    round();
    v0 ^= block;
  }
};

// The last, partial block, read little-endian like the full ones.
std::uint64_t load_tail_le(const std::uint8_t* bytes, std::size_t count) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  return value;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1,
                        std::span<const std::uint8_t> data) noexcept {
  State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
          k1 ^ 0x7465646279746573ULL};
  const std::size_t full = data.size() / 8 * 8;
  for (std::size_t i = 0; i < full; i += 8) s.absorb(load_le<std::uint64_t>(data.data() + i));
  // The last block carries the remaining bytes and, in its top byte, the
  // length modulo 256.
  const std::uint64_t last = load_tail_le(data.data() + full, data.size() - full) |
                             (std::uint64_t{data.size() & 0xff} << 56);
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view text) noexcept {
  return siphash13(k0, k1,
                   std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

namespace {

HashKey draw_hash_key() noexcept {
  std::uint64_t words[2] = {};
  try {
    std::random_device device;
    for (std::uint64_t& word : words) {
      word = (std::uint64_t{device()} << 32) ^ std::uint64_t{device()};
    }
  } catch (...) {
    // No entropy source: fall back on the clock and this object's address,
    // which still differ between processes.
  }
  const auto now = static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  words[0] ^= now;
  words[1] ^= siphash13(now, reinterpret_cast<std::uintptr_t>(&words), std::string_view("key"));
  return HashKey{words[0], words[1]};
}

}  // namespace

const HashKey& process_hash_key() noexcept {
  static const HashKey key = draw_hash_key();
  return key;
}

}  // namespace marrowfin
