// Python class `SearchBackend`: the runtime stand-in for the search-backend
// protocol. It has no behaviour; constructing it is refused.
#pragma once

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* search_backend_type();

}  // namespace marrowfin::py
