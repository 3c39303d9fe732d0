// SHA-256 (FIPS 180-4), used to fingerprint codec configurations.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace marrowfin::codec {

using Sha256Digest = std::array<std::uint8_t, 32>;

[[nodiscard]] Sha256Digest sha256(std::string_view data);

// The digest as 64 lowercase hexadecimal characters, digest bytes in order.
[[nodiscard]] std::string sha256_hex(std::string_view data);

}  // namespace marrowfin::codec
