// The reader of the compressed-vector binary format (layout in pack.hpp).
#pragma once

#include <cstdint>
#include <span>

#include "core/codec/compressed_vector.hpp"
#include "core/common/result.hpp"
#include "io/compressed_vector/io_error.hpp"

namespace marrowfin::io {

// Unpacks count indices of bit_width (2, 4 or 8) bits from
// packed_length(count, bit_width) bytes at packed into out[0, count).
// Padding bits of the last byte are ignored.
void unpack_indices(const std::uint8_t* packed, std::uint8_t bit_width, std::uint8_t* out,
                    std::uint64_t count) noexcept;

// Parses one record from the front of data; bytes after it are ignored.
// Checks, in this order (the first failure is returned):
//   length >= kHeaderLen; trimmed hash field is UTF-8; version == 1;
//   bit width in {2, 4, 8}; length >= 71 + P; residual flag and lengths;
//   the record's own construction checks (residual length == 2 * dimension).
// Never reads past data and allocates nothing until every length is known
// to be covered by data.
[[nodiscard]] Result<codec::CompressedVector, IoError> from_bytes(
    std::span<const std::uint8_t> data);

}  // namespace marrowfin::io
