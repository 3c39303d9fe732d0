// Python class `SearchResult`: the immutable (vector_id, score) pair that a
// search returns. Results rank by score alone: a < b when a scores higher.
#pragma once

#include "core/backend/brute_force_backend.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* search_result_type();

// A new SearchResult for a core result; the id text is shared with it, not
// copied. New reference, or nullptr with an exception set.
PyObject* new_search_result(backend::SearchResult result);

}  // namespace marrowfin::py
