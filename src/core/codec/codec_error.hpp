// The single error type of the codec core. Each variant has a fixed message
// text (message()); the Python layer maps the variant to an exception class
// and uses that text unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/shared.hpp"

namespace marrowfin::codec {

enum class CodecErrorKind : std::uint8_t {
  UnsupportedBitWidth,       // got
  InvalidDimension,          // got
  DimensionTooLarge,         // max, got
  DimensionMismatch,         // expected (config dimension), got (vector length)
  CodebookIncompatible,      // expected (config side), got (codebook side)
  ConfigMismatch,            // expected_hash (config), got_hash (record)
  CodebookEntryCount,        // bit_width, expected, got
  CodebookNotSorted,         //
  CodebookDuplicateEntries,  // expected, got
  InsufficientTrainingData,  // expected
  IndexOutOfRange,           // index, bound
  LengthMismatch,            // left, right
  InvalidResidualFlag,       // got
};

class CodecError {
 public:
  static CodecError unsupported_bit_width(std::uint8_t got);
  static CodecError invalid_dimension(std::uint32_t got);
  static CodecError dimension_too_large(std::uint32_t max, std::uint32_t got);
  static CodecError dimension_mismatch(std::uint32_t expected, std::uint32_t got);
  static CodecError codebook_incompatible(std::uint8_t expected, std::uint8_t got);
  static CodecError config_mismatch(SharedText expected, SharedText got);
  static CodecError codebook_entry_count(std::uint8_t bit_width, std::uint32_t expected,
                                         std::uint32_t got);
  static CodecError codebook_not_sorted();
  static CodecError codebook_duplicate_entries(std::uint32_t expected, std::uint32_t got);
  static CodecError insufficient_training_data(std::uint32_t expected);
  static CodecError index_out_of_range(std::uint8_t index, std::uint32_t bound);
  static CodecError length_mismatch(std::uint64_t left, std::uint64_t right);
  static CodecError invalid_residual_flag(std::uint8_t got);

  CodecErrorKind kind() const noexcept { return kind_; }
  // The variant's numeric fields in the order listed beside CodecErrorKind.
  std::uint64_t field(int i) const noexcept { return fields_[i]; }
  const SharedText& expected_hash() const noexcept { return expected_hash_; }
  const SharedText& got_hash() const noexcept { return got_hash_; }

  std::string message() const;

  friend bool operator==(const CodecError& a, const CodecError& b);

 private:
  CodecError(CodecErrorKind kind, std::uint64_t f0 = 0, std::uint64_t f1 = 0,
             std::uint64_t f2 = 0)
      : kind_(kind), fields_{f0, f1, f2} {}

  CodecErrorKind kind_;
  std::uint64_t fields_[3];
  SharedText expected_hash_;
  SharedText got_hash_;
};

// "0x" followed by exactly two lowercase hexadecimal digits.
std::string hex_byte(std::uint8_t value);

}  // namespace marrowfin::codec
