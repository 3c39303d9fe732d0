// The single error type of the codec core. Each factory formats its variant's
// message once; the Python layer maps the kind to an exception class and uses
// that text unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/error.hpp"
#include "core/common/shared.hpp"

namespace marrowfin::codec {

enum class CodecErrorKind : std::uint8_t {
  UnsupportedBitWidth,
  InvalidDimension,
  DimensionTooLarge,
  DimensionMismatch,
  CodebookIncompatible,
  ConfigMismatch,
  CodebookEntryCount,
  CodebookNotSorted,
  CodebookDuplicateEntries,
  InsufficientTrainingData,
  IndexOutOfRange,
  LengthMismatch,
  InvalidResidualFlag,
  Interrupted,  // a raised StopToken abandoned the call
};

class CodecError : public Error<CodecErrorKind> {
 public:
  static CodecError unsupported_bit_width(std::uint8_t got);
  static CodecError invalid_dimension(std::uint32_t got);
  static CodecError dimension_too_large(std::uint32_t max, std::uint32_t got);
  // expected: the config dimension, got: the vector length.
  static CodecError dimension_mismatch(std::uint32_t expected, std::uint32_t got);
  // expected: the config's bit width, got: the codebook's.
  static CodecError codebook_incompatible(std::uint8_t expected, std::uint8_t got);
  // expected: the config's hash, got: the record's.
  static CodecError config_mismatch(SharedText expected, SharedText got);
  static CodecError codebook_entry_count(std::uint8_t bit_width, std::uint32_t expected,
                                         std::uint32_t got);
  static CodecError codebook_not_sorted();
  static CodecError codebook_duplicate_entries(std::uint32_t expected, std::uint32_t got);
  static CodecError insufficient_training_data(std::uint32_t expected);
  static CodecError index_out_of_range(std::uint8_t index, std::uint32_t bound);
  static CodecError length_mismatch(std::uint64_t left, std::uint64_t right);
  static CodecError invalid_residual_flag(std::uint8_t got);
  static CodecError interrupted();

 private:
  using Error::Error;
};

// "0x" followed by exactly two lowercase hexadecimal digits.
std::string hex_byte(std::uint8_t value);

}  // namespace marrowfin::codec
