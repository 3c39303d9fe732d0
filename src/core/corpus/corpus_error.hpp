// The error type of corpus operations. Each factory formats its variant's
// message once; the Python layer maps Codec to the wrapped error's own
// exception and text.
#pragma once

#include <cstdint>

#include "core/codec/codec_error.hpp"
#include "core/common/error.hpp"
#include "core/common/shared.hpp"

namespace marrowfin::corpus {

enum class CorpusErrorKind : std::uint8_t {
  Codec,  // encoding or decoding failed; the CodecError is the cause
  DuplicateVectorId,
  UnknownVectorId,
  DimensionMismatch,
  Interrupted,  // a raised StopToken abandoned the call
};

class CorpusError : public Error<CorpusErrorKind, codec::CodecError> {
 public:
  static CorpusError codec(codec::CodecError error);
  static CorpusError duplicate_vector_id(SharedText id);
  static CorpusError unknown_vector_id(SharedText id);
  // expected: the corpus dimension, got: the vector length.
  static CorpusError dimension_mismatch(std::uint32_t expected, std::uint32_t got);
  static CorpusError interrupted();

 private:
  using Error::Error;
};

}  // namespace marrowfin::corpus
