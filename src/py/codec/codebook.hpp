// Python class `Codebook`: the immutable table of 2^bit_width float32 levels
// that compression quantizes rotated coordinates against.
#pragma once

#include <optional>

#include "core/codec/codebook.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* codebook_type();

// Argument converter for a `codebook` parameter: a Codebook instance yields
// its core value (borrowed from the object, valid while the object lives);
// anything else is a TypeError "'<type>' object cannot be converted to 'Codebook'".
std::optional<const codec::Codebook*> to_codebook(PyObject* object);

// The body of `train(vectors, config)`, shared by Codebook.train and
// Codec.build_codebook: trains a codebook on every value of `vectors` (rows *
// cols, read in place with the interpreter lock released) under
// config.bit_width and returns a new Codebook instance. A matrix that is not
// C-contiguous raises ValueError "input matrix must be C-contiguous float32";
// a training failure raises the mapped CodecError.
PyObject* train_codebook_operation(const Args<2>& args);

}  // namespace marrowfin::py
