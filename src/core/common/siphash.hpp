// SipHash-1-3: SipHash with one compression round per 8-byte block and three
// finalization rounds, the variant the interpreter itself uses for str and
// bytes. Under a fixed key (CompressionPolicy's hash uses the zero key) a
// byte string hashes the same in every process; under a secret random key
// (process_hash_key) a caller cannot choose inputs that collide.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace marrowfin {

// The 64-bit SipHash-1-3 of `data` under the 128-bit key (k0, k1).
[[nodiscard]] std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1,
                                      std::span<const std::uint8_t> data) noexcept;

// The same over the bytes of a text.
[[nodiscard]] std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1,
                                      std::string_view text) noexcept;

// A 128-bit key drawn at random the first time it is asked for and the same
// for the rest of the process. Hash tables keyed by caller-supplied text hash
// under it, so that no caller can compute ids that all land in one cell; what
// they return never depends on it.
struct HashKey {
  std::uint64_t k0, k1;
};
[[nodiscard]] const HashKey& process_hash_key() noexcept;

}  // namespace marrowfin
