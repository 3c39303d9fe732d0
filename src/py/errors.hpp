// The package's exception types and the conversion of core error values into
// Python exceptions. Every core error becomes exactly one exception whose
// message is the error's own text; binding code never picks an exception
// class for a core error itself but calls the raise_* function of its enum.
#pragma once

#include <string>

#include "core/backend/backend_error.hpp"
#include "core/codec/codec_error.hpp"
#include "core/corpus/corpus_error.hpp"
#include "io/compressed_vector/io_error.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The four exception types (borrowed; created on first use, process lifetime;
// each derives from ValueError). Null with PanicException set if a type
// cannot be created.
PyObject* dimension_mismatch_error();
PyObject* config_mismatch_error();
PyObject* codebook_incompatible_error();
PyObject* duplicate_vector_error();

// Raises `type(message)`, the message taken as UTF-8. Returns nullptr so a
// body can `return raise_with_message(...)`.
PyObject* raise_with_message(PyObject* type, const std::string& message);

// Each function raises one exception per kind, carrying the error's own
// message, and returns nullptr. Interrupted becomes KeyboardInterrupt, a
// fallback for when the binding has no pending signal exception to re-raise.

// CodecError -> the matching one of the four types above for the three
// mismatch kinds, ValueError otherwise.
PyObject* raise_codec_error(const codec::CodecError& error);

// CorpusError -> for Codec, the wrapped CodecError's own exception and message
// (the cause, not the corpus message around it); DuplicateVectorId ->
// DuplicateVectorError; UnknownVectorId -> KeyError; DimensionMismatch ->
// DimensionMismatchError.
PyObject* raise_corpus_error(const corpus::CorpusError& error);

// IoError (a failed CompressedVector.from_bytes) -> ValueError for every kind,
// its message prefixed with "failed to decode CompressedVector: "; a wrapped
// CodecError is reported through the IoError's message, not mapped on its own.
PyObject* raise_io_error(const io::IoError& error);

// BackendError -> ValueError for InvalidTopK, RuntimeError for Adapter.
PyObject* raise_backend_error(const backend::BackendError& error);

}  // namespace marrowfin::py
