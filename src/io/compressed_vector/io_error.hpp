// The error type of the compressed-vector binary format. Each factory formats
// its variant's message once ("data too short: needed 70 bytes, got 10", ...);
// the Python layer prefixes it and raises ValueError.
#pragma once

#include <cstdint>

#include "core/codec/codec_error.hpp"
#include "core/common/error.hpp"

namespace marrowfin::io {

enum class IoErrorKind : std::uint8_t {
  TooShort,
  UnknownVersion,
  InvalidBitWidth,
  InvalidUtf8,
  Decode,  // the record's own checks failed; the CodecError is the cause
};

class IoError : public Error<IoErrorKind, codec::CodecError> {
 public:
  static IoError too_short(std::uint64_t needed, std::uint64_t got);
  static IoError unknown_version(std::uint8_t version);
  static IoError invalid_bit_width(std::uint8_t bit_width);
  static IoError invalid_utf8();
  static IoError decode(codec::CodecError error);

 private:
  using Error::Error;
};

}  // namespace marrowfin::io
