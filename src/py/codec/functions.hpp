// The module-level functions `compress` and `decompress` of the codec
// submodule: conveniences equivalent to the Codec methods of the same name.
#pragma once

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The function objects (borrowed; created on first use, process lifetime),
// or nullptr with PanicException set.
PyObject* compress_function();
PyObject* decompress_function();

}  // namespace marrowfin::py
