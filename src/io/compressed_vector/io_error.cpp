#include "io/compressed_vector/io_error.hpp"

#include <string>
#include <utility>

namespace marrowfin::io {

using std::to_string;

IoError IoError::too_short(std::uint64_t needed, std::uint64_t got) {
  return {IoErrorKind::TooShort,
          "data too short: needed " + to_string(needed) + " bytes, got " + to_string(got)};
}
IoError IoError::unknown_version(std::uint8_t version) {
  return {IoErrorKind::UnknownVersion, "unknown format version " + codec::hex_byte(version)};
}
IoError IoError::invalid_bit_width(std::uint8_t bit_width) {
  return {IoErrorKind::InvalidBitWidth,
          "invalid bit_width " + to_string(bit_width) + " in serialized data"};
}
IoError IoError::invalid_utf8() {
  return {IoErrorKind::InvalidUtf8, "invalid UTF-8 in config hash"};
}
IoError IoError::decode(codec::CodecError error) {
  std::string message = "decode error: " + error.message();
  return {IoErrorKind::Decode, std::move(message), std::move(error)};
}

}  // namespace marrowfin::io
