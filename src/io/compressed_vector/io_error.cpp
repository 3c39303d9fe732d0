#include "io/compressed_vector/io_error.hpp"

#include <utility>

namespace marrowfin::io {

IoError IoError::too_short(std::uint64_t needed, std::uint64_t got) {
  return IoError(IoErrorKind::TooShort, needed, got);
}
IoError IoError::unknown_version(std::uint8_t version) {
  return IoError(IoErrorKind::UnknownVersion, version);
}
IoError IoError::invalid_bit_width(std::uint8_t bit_width) {
  return IoError(IoErrorKind::InvalidBitWidth, bit_width);
}
IoError IoError::invalid_utf8() { return IoError(IoErrorKind::InvalidUtf8); }
IoError IoError::decode(codec::CodecError error) {
  IoError e(IoErrorKind::Decode);
  e.codec_error_.emplace(std::move(error));
  return e;
}

std::string IoError::message() const {
  using std::to_string;
  switch (kind_) {
    case IoErrorKind::TooShort:
      return "data too short: needed " + to_string(needed_) + " bytes, got " + to_string(got_);
    case IoErrorKind::UnknownVersion:
      return "unknown format version " + codec::hex_byte(version());
    case IoErrorKind::InvalidBitWidth:
      return "invalid bit_width " + to_string(bit_width()) + " in serialized data";
    case IoErrorKind::InvalidUtf8:
      return "invalid UTF-8 in config hash";
    case IoErrorKind::Decode:
      return "decode error: " + codec_error_->message();
  }
  return {};
}

bool operator==(const IoError& a, const IoError& b) {
  return a.kind_ == b.kind_ && a.needed_ == b.needed_ && a.got_ == b.got_ &&
         a.codec_error_ == b.codec_error_;
}

}  // namespace marrowfin::io
