#include "core/codec/codec_error.hpp"

namespace marrowfin::codec {

namespace {

using K = CodecErrorKind;
using std::to_string;

std::string text_of(const SharedText& text) { return text ? *text : std::string(); }

}  // namespace

CodecError CodecError::unsupported_bit_width(std::uint8_t got) {
  return {K::UnsupportedBitWidth, "bit_width must be one of [2, 4, 8], got " + to_string(got)};
}
CodecError CodecError::invalid_dimension(std::uint32_t got) {
  return {K::InvalidDimension, "dimension must be > 0, got " + to_string(got)};
}
CodecError CodecError::dimension_too_large(std::uint32_t max, std::uint32_t got) {
  return {K::DimensionTooLarge,
          "dimension must be <= " + to_string(max) + ", got " + to_string(got)};
}
CodecError CodecError::dimension_mismatch(std::uint32_t expected, std::uint32_t got) {
  return {K::DimensionMismatch, "vector length " + to_string(got) +
                                    " does not match config dimension " + to_string(expected)};
}
CodecError CodecError::codebook_incompatible(std::uint8_t expected, std::uint8_t got) {
  return {K::CodebookIncompatible, "codebook bit_width " + to_string(got) +
                                       " does not match config bit_width " + to_string(expected)};
}
CodecError CodecError::config_mismatch(SharedText expected, SharedText got) {
  return {K::ConfigMismatch, "compressed config_hash " + text_of(got) +
                                 " does not match config hash " + text_of(expected)};
}
CodecError CodecError::codebook_entry_count(std::uint8_t bit_width, std::uint32_t expected,
                                            std::uint32_t got) {
  return {K::CodebookEntryCount, "codebook must have " + to_string(expected) +
                                     " entries for bit_width=" + to_string(bit_width) + ", got " +
                                     to_string(got)};
}
CodecError CodecError::codebook_not_sorted() {
  return {K::CodebookNotSorted, "codebook entries must be sorted ascending"};
}
CodecError CodecError::codebook_duplicate_entries(std::uint32_t expected, std::uint32_t got) {
  return {K::CodebookDuplicateEntries, "codebook must contain " + to_string(expected) +
                                           " distinct values, got " + to_string(got)};
}
CodecError CodecError::insufficient_training_data(std::uint32_t expected) {
  return {K::InsufficientTrainingData,
          "insufficient training data for " + to_string(expected) + " distinct entries"};
}
CodecError CodecError::index_out_of_range(std::uint8_t index, std::uint32_t bound) {
  return {K::IndexOutOfRange,
          "index " + to_string(index) + " is out of range [0, " + to_string(bound) + ")"};
}
CodecError CodecError::length_mismatch(std::uint64_t left, std::uint64_t right) {
  return {K::LengthMismatch,
          "input and output lengths disagree: " + to_string(left) + " vs " + to_string(right)};
}
CodecError CodecError::invalid_residual_flag(std::uint8_t got) {
  return {K::InvalidResidualFlag,
          "invalid residual flag: expected 0x00 or 0x01, got " + hex_byte(got)};
}
CodecError CodecError::interrupted() { return {K::Interrupted, "interrupted"}; }

std::string hex_byte(std::uint8_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  return std::string{'0', 'x', kDigits[value >> 4], kDigits[value & 15]};
}

}  // namespace marrowfin::codec
