#include "core/corpus/corpus_error.hpp"

#include <string>
#include <utility>

namespace marrowfin::corpus {

CorpusError CorpusError::codec(codec::CodecError error) {
  std::string message = "codec error: " + error.message();
  return {CorpusErrorKind::Codec, std::move(message), std::move(error)};
}

CorpusError CorpusError::duplicate_vector_id(SharedText id) {
  return {CorpusErrorKind::DuplicateVectorId, "duplicate vector_id " + *id};
}

CorpusError CorpusError::unknown_vector_id(SharedText id) {
  return {CorpusErrorKind::UnknownVectorId, "unknown vector_id " + *id};
}

CorpusError CorpusError::dimension_mismatch(std::uint32_t expected, std::uint32_t got) {
  return {
      CorpusErrorKind::DimensionMismatch,
      "dimension mismatch: expected " + std::to_string(expected) + ", got " + std::to_string(got)};
}

CorpusError CorpusError::interrupted() { return {CorpusErrorKind::Interrupted, "interrupted"}; }

}  // namespace marrowfin::corpus
