// SipHash-1-3: SipHash with one compression round per 8-byte block and three
// finalization rounds, the variant the interpreter itself uses for str and
// bytes. With an all-zero key it gives hashes that are the same in every
// process, which CompressionPolicy needs (its members hash like the bytes of
// their ordinal under PYTHONHASHSEED=0).
#pragma once

#include <cstdint>
#include <span>

namespace marrowfin::py {

// The 64-bit SipHash-1-3 of `data` under the 128-bit key (k0, k1).
[[nodiscard]] std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1,
                                      std::span<const std::uint8_t> data) noexcept;

}  // namespace marrowfin::py
