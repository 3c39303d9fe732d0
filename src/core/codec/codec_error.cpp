#include "core/codec/codec_error.hpp"

#include <utility>

namespace marrowfin::codec {

using K = CodecErrorKind;

CodecError CodecError::unsupported_bit_width(std::uint8_t got) {
  return {K::UnsupportedBitWidth, got};
}
CodecError CodecError::invalid_dimension(std::uint32_t got) { return {K::InvalidDimension, got}; }
CodecError CodecError::dimension_too_large(std::uint32_t max, std::uint32_t got) {
  return {K::DimensionTooLarge, max, got};
}
CodecError CodecError::dimension_mismatch(std::uint32_t expected, std::uint32_t got) {
  return {K::DimensionMismatch, expected, got};
}
CodecError CodecError::codebook_incompatible(std::uint8_t expected, std::uint8_t got) {
  return {K::CodebookIncompatible, expected, got};
}
CodecError CodecError::config_mismatch(SharedText expected, SharedText got) {
  CodecError e{K::ConfigMismatch};
  e.expected_hash_ = std::move(expected);
  e.got_hash_ = std::move(got);
  return e;
}
CodecError CodecError::codebook_entry_count(std::uint8_t bit_width, std::uint32_t expected,
                                            std::uint32_t got) {
  return {K::CodebookEntryCount, bit_width, expected, got};
}
CodecError CodecError::codebook_not_sorted() { return {K::CodebookNotSorted}; }
CodecError CodecError::codebook_duplicate_entries(std::uint32_t expected, std::uint32_t got) {
  return {K::CodebookDuplicateEntries, expected, got};
}
CodecError CodecError::insufficient_training_data(std::uint32_t expected) {
  return {K::InsufficientTrainingData, expected};
}
CodecError CodecError::index_out_of_range(std::uint8_t index, std::uint32_t bound) {
  return {K::IndexOutOfRange, index, bound};
}
CodecError CodecError::length_mismatch(std::uint64_t left, std::uint64_t right) {
  return {K::LengthMismatch, left, right};
}
CodecError CodecError::invalid_residual_flag(std::uint8_t got) {
  return {K::InvalidResidualFlag, got};
}

std::string hex_byte(std::uint8_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  return std::string{'0', 'x', kDigits[value >> 4], kDigits[value & 15]};
}

std::string CodecError::message() const {
  using std::to_string;
  const auto& f = fields_;
  switch (kind_) {
    case K::UnsupportedBitWidth:
      return "bit_width must be one of [2, 4, 8], got " + to_string(f[0]);
    case K::InvalidDimension:
      return "dimension must be > 0, got " + to_string(f[0]);
    case K::DimensionTooLarge:
      return "dimension must be <= " + to_string(f[0]) + ", got " + to_string(f[1]);
    case K::DimensionMismatch:
      return "vector length " + to_string(f[1]) + " does not match config dimension " +
             to_string(f[0]);
    case K::CodebookIncompatible:
      return "codebook bit_width " + to_string(f[1]) + " does not match config bit_width " +
             to_string(f[0]);
    case K::ConfigMismatch:
      return "compressed config_hash " + (got_hash_ ? *got_hash_ : std::string()) +
             " does not match config hash " + (expected_hash_ ? *expected_hash_ : std::string());
    case K::CodebookEntryCount:
      return "codebook must have " + to_string(f[1]) + " entries for bit_width=" +
             to_string(f[0]) + ", got " + to_string(f[2]);
    case K::CodebookNotSorted:
      return "codebook entries must be sorted ascending";
    case K::CodebookDuplicateEntries:
      return "codebook must contain " + to_string(f[0]) + " distinct values, got " +
             to_string(f[1]);
    case K::InsufficientTrainingData:
      return "insufficient training data for " + to_string(f[0]) + " distinct entries";
    case K::IndexOutOfRange:
      return "index " + to_string(f[0]) + " is out of range [0, " + to_string(f[1]) + ")";
    case K::LengthMismatch:
      return "input and output lengths disagree: " + to_string(f[0]) + " vs " + to_string(f[1]);
    case K::InvalidResidualFlag:
      return "invalid residual flag: expected 0x00 or 0x01, got " +
             hex_byte(static_cast<std::uint8_t>(f[0]));
  }
  return {};
}

bool operator==(const CodecError& a, const CodecError& b) {
  return a.message() == b.message() && a.kind_ == b.kind_;
}

}  // namespace marrowfin::codec
