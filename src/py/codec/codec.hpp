// Python class `Codec`, the stateless codec service, and the operations it
// shares with the module functions `compress` and `decompress`.
#pragma once

#include "py/toolkit/args.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* codec_type();

// The bodies of `compress(vector, config, codebook)` and
// `decompress(compressed, config, codebook)`, shared by the Codec methods and
// the module functions so that both behave identically.
PyObject* compress_operation(const Args<3>& args);
PyObject* decompress_operation(const Args<3>& args);

}  // namespace marrowfin::py
