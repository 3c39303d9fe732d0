// Little-endian loads and stores of unsigned integers at unaligned byte
// addresses. Every serialized integer of the package is little-endian; these
// are the only places that spell out the byte order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace marrowfin {

template <class U>
[[nodiscard]] inline U load_le(const std::uint8_t* in) noexcept {
  static_assert(std::is_unsigned_v<U>);
  U value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, in, sizeof(U));
  } else {
    for (std::size_t i = 0; i < sizeof(U); ++i) {
      value |= static_cast<U>(U{in[i]} << (8 * i));
    }
  }
  return value;
}

template <class U>
inline void store_le(std::uint8_t* out, U value) noexcept {
  static_assert(std::is_unsigned_v<U>);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &value, sizeof(U));
  } else {
    for (std::size_t i = 0; i < sizeof(U); ++i) {
      out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
}

}  // namespace marrowfin
