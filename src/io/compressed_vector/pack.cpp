#include "io/compressed_vector/pack.hpp"

#include <algorithm>
#include <cstring>

#include "core/common/endian.hpp"

namespace marrowfin::io {
void pack_indices(std::span<const std::uint8_t> indices, std::uint8_t bit_width,
                  std::uint8_t* out) noexcept {
  const std::size_t n = indices.size();
  const std::uint8_t* in = indices.data();
  switch (bit_width) {
    case 8:
      if (n != 0) std::memcpy(out, in, n);
      return;
    case 4: {
      // Whole bytes first (two indices each, even index in the low nibble),
      // then a lone trailing index whose high nibble stays zero.
      const std::size_t full = n / 2;
      for (std::size_t j = 0; j < full; ++j) {
        out[j] = static_cast<std::uint8_t>((in[2 * j] & 0x0f) | (in[2 * j + 1] << 4));
      }
      if (n % 2 != 0) out[full] = in[n - 1] & 0x0f;
      return;
    }
    case 2: {
      const std::size_t full = n / 4;
      for (std::size_t j = 0; j < full; ++j) {
        const std::uint8_t* q = in + 4 * j;
        out[j] = static_cast<std::uint8_t>((q[0] & 3) | ((q[1] & 3) << 2) | ((q[2] & 3) << 4) |
                                           (q[3] << 6));
      }
      if (const std::size_t rest = n % 4; rest != 0) {
        std::uint8_t last = 0;
        for (std::size_t k = 0; k < rest; ++k) {
          last = static_cast<std::uint8_t>(last | ((in[4 * full + k] & 3) << (2 * k)));
        }
        out[full] = last;
      }
      return;
    }
    default:
      // A CompressedVector only ever carries 2, 4 or 8; other widths would
      // need a bit-by-bit writer that nothing uses.
      return;
  }
}

std::vector<std::uint8_t> to_bytes(const codec::CompressedVector& record) {
  const std::string& hash = *record.config_hash();
  const std::vector<std::uint8_t>& indices = *record.indices();
  const std::uint8_t bit_width = record.bit_width();
  const std::uint64_t packed = packed_length(indices.size(), bit_width);
  const std::vector<std::uint8_t>* residual =
      record.residual() ? record.residual()->get() : nullptr;

  std::uint64_t total = kHeaderLen + packed + 1;
  if (residual != nullptr) total += 4 + residual->size();
  std::vector<std::uint8_t> out(total, 0);  // zero fill gives the hash padding for free

  std::uint8_t* p = out.data();
  p[0] = kFormatVersion;
  std::memcpy(p + 1, hash.data(), std::min(hash.size(), kHashFieldLen));
  store_le(p + 1 + kHashFieldLen, record.dimension());
  p[kHeaderLen - 1] = bit_width;
  p += kHeaderLen;
  pack_indices(indices, bit_width, p);
  p += packed;
  if (residual == nullptr) {
    *p = 0x00;
    return out;
  }
  *p++ = 0x01;
  store_le(p, static_cast<std::uint32_t>(residual->size()));
  p += 4;
  if (!residual->empty()) std::memcpy(p, residual->data(), residual->size());
  return out;
}

}  // namespace marrowfin::io
