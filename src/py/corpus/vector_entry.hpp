// Python class `VectorEntry`: one stored vector as a corpus hands it out (its
// id, payload record and true dimension). Immutable; made only by `Corpus`.
#pragma once

#include "core/corpus/vector_entry.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* vector_entry_type();

// A new VectorEntry object holding `entry` (which shares its id and payload
// buffers with the stored entry).
PyObject* new_vector_entry(corpus::VectorEntry entry);

}  // namespace marrowfin::py
