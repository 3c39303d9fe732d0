#include "core/corpus/corpus_error.hpp"

#include <utility>

namespace marrowfin::corpus {

CorpusError CorpusError::codec(codec::CodecError error) {
  CorpusError e(CorpusErrorKind::Codec);
  e.codec_error_.emplace(std::move(error));
  return e;
}

CorpusError CorpusError::duplicate_vector_id(SharedText id) {
  CorpusError e(CorpusErrorKind::DuplicateVectorId);
  e.vector_id_ = std::move(id);
  return e;
}

CorpusError CorpusError::unknown_vector_id(SharedText id) {
  CorpusError e(CorpusErrorKind::UnknownVectorId);
  e.vector_id_ = std::move(id);
  return e;
}

CorpusError CorpusError::dimension_mismatch(std::uint32_t expected, std::uint32_t got) {
  CorpusError e(CorpusErrorKind::DimensionMismatch);
  e.expected_ = expected;
  e.got_ = got;
  return e;
}

std::string CorpusError::message() const {
  switch (kind_) {
    case CorpusErrorKind::Codec:
      return "codec error: " + codec_error_->message();
    case CorpusErrorKind::DuplicateVectorId:
      return "duplicate vector_id " + *vector_id_;
    case CorpusErrorKind::UnknownVectorId:
      return "unknown vector_id " + *vector_id_;
    case CorpusErrorKind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(expected_) + ", got " +
             std::to_string(got_);
  }
  return {};
}

}  // namespace marrowfin::corpus
