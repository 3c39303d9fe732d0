// The error type of the compressed-vector binary format. Each variant has a
// fixed message text (message()); the Python layer prefixes it and raises
// ValueError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/codec/codec_error.hpp"

namespace marrowfin::io {

inline constexpr std::uint8_t FORMAT_VERSION = 1;
// The hash text is stored in a fixed field, zero-padded on the right.
inline constexpr std::size_t HASH_FIELD_LEN = 64;
// version (1) + hash field (64) + dimension (4) + bit width (1).
inline constexpr std::size_t HEADER_LEN = 70;

enum class IoErrorKind : std::uint8_t {
  TooShort,         // needed, got
  UnknownVersion,   // version
  InvalidBitWidth,  // bit_width
  InvalidUtf8,      //
  Decode,           // a CodecError
};

class IoError {
 public:
  static IoError too_short(std::uint64_t needed, std::uint64_t got);
  static IoError unknown_version(std::uint8_t version);
  static IoError invalid_bit_width(std::uint8_t bit_width);
  static IoError invalid_utf8();
  static IoError decode(codec::CodecError error);

  IoErrorKind kind() const noexcept { return kind_; }
  // TooShort only.
  std::uint64_t needed() const noexcept { return needed_; }
  std::uint64_t got() const noexcept { return got_; }
  // UnknownVersion only.
  std::uint8_t version() const noexcept { return static_cast<std::uint8_t>(needed_); }
  // InvalidBitWidth only.
  std::uint8_t bit_width() const noexcept { return static_cast<std::uint8_t>(needed_); }
  // Decode only; nullptr for every other variant.
  const codec::CodecError* codec_error() const noexcept {
    return codec_error_ ? &*codec_error_ : nullptr;
  }

  // "data too short: needed 70 bytes, got 10", "unknown format version 0x02", ...
  std::string message() const;

  friend bool operator==(const IoError& a, const IoError& b);

 private:
  explicit IoError(IoErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0)
      : kind_(kind), needed_(a), got_(b) {}

  IoErrorKind kind_;
  std::uint64_t needed_;  // also holds the version or bit width of those variants
  std::uint64_t got_;
  std::optional<codec::CodecError> codec_error_;
};

}  // namespace marrowfin::io
