// The writer of the compressed-vector binary format. Layout (little-endian):
//   [0]        version, always kFormatVersion
//   [1, 65)    config hash text, at most kHashFieldLen bytes, zero-padded
//   [65, 69)   dimension, unsigned 32-bit
//   [69]       bit width (2, 4 or 8)
//   [70, 70+P) indices, bit_width bits each, index i at bits [i*bw, (i+1)*bw)
//              where bit k is bit k%8 of byte k/8; P = ceil(dimension*bw/8)
//   [70+P]     residual flag, 0x00 or 0x01
//   then, only when the flag is 0x01: residual length R (unsigned 32-bit) and R bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/codec/compressed_vector.hpp"
#include "io/compressed_vector/format.hpp"

namespace marrowfin::io {

// P: bytes of packed indices, computed in 64 bits so dimension 2^32-1 cannot overflow.
[[nodiscard]] constexpr std::uint64_t packed_length(std::uint64_t dimension,
                                                    std::uint8_t bit_width) noexcept {
  return (dimension * bit_width + 7) / 8;
}

// Packs indices.size() indices of bit_width (2, 4 or 8) bits into
// packed_length(indices.size(), bit_width) bytes at out. Each index is cut to
// its low bit_width bits; unused high bits of the last byte are written as 0.
void pack_indices(std::span<const std::uint8_t> indices, std::uint8_t bit_width,
                  std::uint8_t* out) noexcept;

// The serialized record: 71 + P bytes without residual, 75 + P + R with one.
[[nodiscard]] std::vector<std::uint8_t> to_bytes(const codec::CompressedVector& record);

}  // namespace marrowfin::io
