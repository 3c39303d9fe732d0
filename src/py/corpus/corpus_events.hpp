// Python classes for the corpus's domain events: `CorpusCreated`,
// `VectorsInserted`, `CorpusDecompressed` and
// `CompressionPolicyViolationDetected`. Immutable, read-only properties, no
// constructor; `Corpus.pending_events` makes one object per drained core event.
#pragma once

#include "core/corpus/corpus_event.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class objects (borrowed; created on first use, process lifetime).
PyTypeObject* corpus_created_type();
PyTypeObject* vectors_inserted_type();
PyTypeObject* corpus_decompressed_type();
PyTypeObject* compression_policy_violation_detected_type();

// New event objects (nullptr with an exception set on failure). The core
// event is copied; its texts stay shared. `codec_config` is the corpus's own
// CodecConfig object, which the event hands out as it is.
PyObject* new_corpus_created(const corpus::CorpusCreated& event, PyObject* codec_config);
PyObject* new_vectors_inserted(const corpus::VectorsInserted& event);
PyObject* new_corpus_decompressed(const corpus::CorpusDecompressed& event);
PyObject* new_compression_policy_violation_detected(
    const corpus::CompressionPolicyViolationDetected& event);

// The object of the matching class for any event.
PyObject* new_event_object(const corpus::CorpusEvent& event, PyObject* codec_config);

}  // namespace marrowfin::py
