// The package's exception types and the conversion of core error values into
// Python exceptions. Every core error becomes exactly one exception whose
// message is the error's own text; binding code never picks an exception
// class for a core error itself but calls the raise_* function of its enum.
#pragma once

#include <string>

#include "core/codec/codec_error.hpp"
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

// CodecError -> DimensionMismatchError / CodebookIncompatibleError /
// ConfigMismatchError for the three mismatch variants, ValueError otherwise.
// Returns nullptr.
PyObject* raise_codec_error(const codec::CodecError& error);

}  // namespace marrowfin::py
