// Python class `RotationMatrix`: the deterministic orthogonal matrix generated
// from (seed, dimension) that preconditions vectors before quantization.
#pragma once

#include <cstdint>

#include "py/toolkit/args.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// From this dimension on, generating a rotation takes long enough (tens of
// milliseconds and up) that the calls which may generate one are made
// interruptible by Ctrl-C.
inline constexpr std::uint32_t kLongRotationDimension = 512;

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* rotation_matrix_type();

// The body of `from_config(config)`, shared by RotationMatrix.from_config and
// Codec.build_rotation: a new RotationMatrix instance for (config.seed,
// config.dimension), built with the interpreter lock released or taken from
// the process-wide cache.
PyObject* rotation_from_config_operation(const Args<1>& args);

}  // namespace marrowfin::py
