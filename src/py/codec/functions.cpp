#include "py/codec/functions.hpp"

#include "py/codec/codec.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

constexpr Signature<3> kCompressSignature{"compress", {"vector", "config", "codebook"}};
constexpr Signature<3> kDecompressSignature{"decompress", {"compressed", "config", "codebook"}};

PyMethodDef compress_def = function<kCompressSignature, compress_operation>(
    "Module-level convenience \u2014 equivalent to `Codec().compress(...)`.");
PyMethodDef decompress_def = function<kDecompressSignature, decompress_operation>(
    "Module-level convenience \u2014 equivalent to `Codec().decompress(...)`.");

ModuleFunction compress_object{compress_def};
ModuleFunction decompress_object{decompress_def};

}  // namespace

PyObject* compress_function() { return compress_object.get(); }
PyObject* decompress_function() { return decompress_object.get(); }

}  // namespace marrowfin::py
