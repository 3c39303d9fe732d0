#include "py/corpus/corpus_events.hpp"

#include <variant>

namespace marrowfin::py {

PyObject* new_event_object(const corpus::CorpusEvent& event, PyObject* codec_config) {
  struct Build {
    PyObject* codec_config;
    PyObject* operator()(const corpus::CorpusCreated& e) const {
      return new_corpus_created(e, codec_config);
    }
    PyObject* operator()(const corpus::VectorsInserted& e) const { return new_vectors_inserted(e); }
    PyObject* operator()(const corpus::CorpusDecompressed& e) const {
      return new_corpus_decompressed(e);
    }
    PyObject* operator()(const corpus::CompressionPolicyViolationDetected& e) const {
      return new_compression_policy_violation_detected(e);
    }
  };
  return std::visit(Build{codec_config}, event.payload());
}

}  // namespace marrowfin::py
