// The error type of corpus operations. Each variant has a fixed message text;
// the Python layer maps Codec to the wrapped error's own exception and text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/codec/codec_error.hpp"
#include "core/common/shared.hpp"

namespace marrowfin::corpus {

enum class CorpusErrorKind : std::uint8_t {
  Codec,              // a CodecError from encoding or decoding
  DuplicateVectorId,  // id
  UnknownVectorId,    // id
  DimensionMismatch,  // expected (corpus dimension), got (vector length)
};

class CorpusError {
 public:
  static CorpusError codec(codec::CodecError error);
  static CorpusError duplicate_vector_id(SharedText id);
  static CorpusError unknown_vector_id(SharedText id);
  static CorpusError dimension_mismatch(std::uint32_t expected, std::uint32_t got);

  CorpusErrorKind kind() const noexcept { return kind_; }
  // Codec only; nullptr for every other variant.
  const codec::CodecError* codec_error() const noexcept {
    return codec_error_ ? &*codec_error_ : nullptr;
  }
  // DuplicateVectorId and UnknownVectorId only; null otherwise.
  const SharedText& vector_id() const noexcept { return vector_id_; }
  // DimensionMismatch only.
  std::uint32_t expected() const noexcept { return expected_; }
  std::uint32_t got() const noexcept { return got_; }

  // "codec error: ...", "duplicate vector_id x", "unknown vector_id x",
  // "dimension mismatch: expected 8, got 3".
  std::string message() const;

 private:
  explicit CorpusError(CorpusErrorKind kind) : kind_(kind) {}

  CorpusErrorKind kind_;
  std::optional<codec::CodecError> codec_error_;
  SharedText vector_id_;
  std::uint32_t expected_ = 0;
  std::uint32_t got_ = 0;
};

}  // namespace marrowfin::corpus
