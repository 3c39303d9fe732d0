// Python class `CompressedVector`: the immutable record of one compressed
// vector (indices, optional binary16 residual, config hash) and its binary form.
#pragma once

#include <optional>

#include "core/codec/compressed_vector.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* compressed_vector_type();

// A new CompressedVector instance wrapping the record; its buffers are shared,
// not copied. Returns a new reference, or nullptr with an exception set.
PyObject* new_compressed_vector(codec::CompressedVector record);

// Argument converter for a `compressed` parameter (or a sequence item): a
// CompressedVector instance yields a copy of its record (sharing the buffers);
// anything else is a TypeError "'<type>' object cannot be converted to 'CompressedVector'".
std::optional<codec::CompressedVector> to_compressed_vector(PyObject* object);

}  // namespace marrowfin::py
