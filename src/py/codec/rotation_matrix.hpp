// Python class `RotationMatrix`: the deterministic orthogonal matrix generated
// from (seed, dimension) that preconditions vectors before quantization.
#pragma once

#include "py/toolkit/args.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* rotation_matrix_type();

// The body of `from_config(config)`, shared by RotationMatrix.from_config and
// Codec.build_rotation: a new RotationMatrix instance for (config.seed,
// config.dimension), built with the interpreter lock released or taken from
// the process-wide cache.
PyObject* rotation_from_config_operation(const Args<1>& args);

}  // namespace marrowfin::py
