// Python class `RotationMatrix`: the deterministic orthogonal matrix generated
// from (seed, dimension) that preconditions vectors before quantization.
#pragma once

#include "core/codec/codec_config.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* rotation_matrix_type();

// A new RotationMatrix instance for (config.seed, config.dimension), built
// with the interpreter lock released or taken from the process-wide cache.
// Shared by RotationMatrix.from_config and Codec.build_rotation.
PyObject* rotation_for_config(const codec::CodecConfig& config);

}  // namespace marrowfin::py
