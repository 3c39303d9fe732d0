// The constants of the compressed-vector binary format (layout in pack.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace marrowfin::io {

inline constexpr std::uint8_t kFormatVersion = 1;
// The hash text is stored in a fixed field, zero-padded on the right.
inline constexpr std::size_t kHashFieldLen = 64;
// version (1) + hash field (64) + dimension (4) + bit width (1).
inline constexpr std::size_t kHeaderLen = 70;

}  // namespace marrowfin::io
