// Strict UTF-8 validation (RFC 3629): rejects overlong forms, UTF-16
// surrogates (U+D800..U+DFFF), code points above U+10FFFF, stray continuation
// bytes and sequences cut short by the end of the input. NUL bytes are valid.
#pragma once

#include <cstdint>
#include <span>

namespace marrowfin::io {

[[nodiscard]] bool is_valid_utf8(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace marrowfin::io
