#include "io/compressed_vector/unpack.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/codec/codec_config.hpp"
#include "core/common/endian.hpp"
#include "io/compressed_vector/pack.hpp"
#include "io/compressed_vector/utf8.hpp"

namespace marrowfin::io {
void unpack_indices(const std::uint8_t* packed, std::uint8_t bit_width, std::uint8_t* out,
                    std::uint64_t count) noexcept {
  switch (bit_width) {
    case 8:
      if (count != 0) std::memcpy(out, packed, count);
      return;
    case 4: {
      const std::uint64_t full = count / 2;
      for (std::uint64_t j = 0; j < full; ++j) {
        out[2 * j] = packed[j] & 0x0f;
        out[2 * j + 1] = packed[j] >> 4;
      }
      if (count % 2 != 0) out[count - 1] = packed[full] & 0x0f;
      return;
    }
    case 2: {
      const std::uint64_t full = count / 4;
      for (std::uint64_t j = 0; j < full; ++j) {
        const std::uint8_t b = packed[j];
        out[4 * j] = b & 3;
        out[4 * j + 1] = (b >> 2) & 3;
        out[4 * j + 2] = (b >> 4) & 3;
        out[4 * j + 3] = b >> 6;
      }
      for (std::uint64_t k = 0; k < count % 4; ++k) {
        out[4 * full + k] = (packed[full] >> (2 * k)) & 3;
      }
      return;
    }
    default: return;
  }
}

Result<codec::CompressedVector, IoError> from_bytes(std::span<const std::uint8_t> data) {
  const std::uint64_t length = data.size();
  if (length < kHeaderLen) return fail(IoError::too_short(kHeaderLen, length));

  const std::uint8_t version = data[0];

  // The hash text ends after the last non-zero byte of its field; zero bytes
  // inside it are part of the text. It is validated before the version so a
  // record from an unknown version with a garbled hash reports the hash.
  const std::uint8_t* hash_field = data.data() + 1;
  std::size_t hash_length = kHashFieldLen;
  while (hash_length > 0 && hash_field[hash_length - 1] == 0) --hash_length;
  if (!is_valid_utf8({hash_field, hash_length})) return fail(IoError::invalid_utf8());

  const std::uint32_t dimension = load_le<std::uint32_t>(data.data() + 1 + kHashFieldLen);
  const std::uint8_t bit_width = data[kHeaderLen - 1];

  if (version != kFormatVersion) return fail(IoError::unknown_version(version));
  if (!codec::is_supported_bit_width(bit_width)) {
    return fail(IoError::invalid_bit_width(bit_width));
  }

  // All offsets below are 64-bit: dimension 2^32-1 at bit width 8 needs
  // 4294967366 bytes, which must be reported, not wrapped.
  const std::uint64_t packed = packed_length(dimension, bit_width);
  const std::uint64_t flag_at = kHeaderLen + packed;
  if (length < flag_at + 1) return fail(IoError::too_short(flag_at + 1, length));

  // Every length is checked against the input before anything is allocated,
  // so a hostile header cannot make the reader reserve memory it does not
  // have data for. Unpacking the indices cannot fail, so doing it after the
  // flag checks changes no reported error.
  const std::uint8_t flag = data[flag_at];
  std::uint64_t residual_length = 0;
  if (flag == 0x01) {
    if (length < flag_at + 5) return fail(IoError::too_short(flag_at + 5, length));
    residual_length = load_le<std::uint32_t>(data.data() + flag_at + 1);
    if (length < flag_at + 5 + residual_length) {
      return fail(IoError::too_short(flag_at + 5 + residual_length, length));
    }
  } else if (flag != 0x00) {
    return fail(IoError::decode(codec::CodecError::invalid_residual_flag(flag)));
  }

  std::vector<std::uint8_t> indices(dimension);
  unpack_indices(data.data() + kHeaderLen, bit_width, indices.data(), dimension);

  std::optional<SharedBytes> residual;
  if (flag == 0x01) {
    const std::uint8_t* begin = data.data() + flag_at + 5;
    residual = share_bytes(std::vector<std::uint8_t>(begin, begin + residual_length));
  }

  auto record = codec::CompressedVector::create(
      share_bytes(std::move(indices)), std::move(residual),
      share_text(std::string(reinterpret_cast<const char*>(hash_field), hash_length)), dimension,
      bit_width);
  if (!record.ok()) return fail(IoError::decode(std::move(record).error()));
  return std::move(record).value();
}

}  // namespace marrowfin::io
