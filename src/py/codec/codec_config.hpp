// Python class `CodecConfig`: the immutable codec parameters (bit width,
// seed, dimension, residual flag) and their config hash.
#pragma once

#include <optional>

#include "core/codec/codec_config.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// The class object (borrowed; created on first use, process lifetime).
PyTypeObject* codec_config_type();

// Argument converter for a `config` parameter: a CodecConfig instance yields
// its core value (borrowed from the object, valid while the object lives);
// anything else is a TypeError "'<type>' object cannot be converted to 'CodecConfig'".
std::optional<const codec::CodecConfig*> to_codec_config(PyObject* object);

}  // namespace marrowfin::py
