#include "py/codec/codec.hpp"

#include <span>
#include <utility>
#include <vector>

#include "core/codec/service.hpp"
#include "py/codec/codebook.hpp"
#include "py/codec/codec_config.hpp"
#include "py/codec/compressed_vector.hpp"
#include "py/codec/rotation_matrix.hpp"
#include "py/errors.hpp"
#include "py/numpy/arrays.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/gil.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/list.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/ref.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// A Codec holds nothing: every operation is a function of its arguments.
struct Stateless {};

// Every operation below follows one pattern: convert the arguments in
// parameter order, copy the array data and take shared copies of the core
// values (a config or codebook copy only shares its buffers), release the
// interpreter lock for the core work, and build Python results once it is
// back. Nothing Python is touched while the lock is released.

// ---- construction -----------------------------------------------------------

constexpr Signature<0> kNewSignature{"Codec.__new__", {}};

PyObject* codec_new(PyTypeObject* type, const Args<0>&) { return new_instance<Stateless>(type); }

// ---- batches ----------------------------------------------------------------

// Whether a batch of `rows` vectors can run long enough for Ctrl-C to matter
// (over about 10 ms, or a rotation that may still have to be generated); the
// helper thread that makes a call interruptible costs tens of microseconds.
bool long_batch(std::uint64_t rows, const codec::CodecConfig& config) {
  const std::uint64_t n = config.dimension();
  return rows * n * n >= (std::uint64_t{1} << 24) || n >= kLongRotationDimension;
}

constexpr Signature<3> kCompressBatchSignature{"Codec.compress_batch",
                                               {"vectors", "config", "codebook"}};

PyObject* codec_compress_batch(PyObject*, const Args<3>& args) {
  const auto converted = args.convert_all(numpy::to_matrix, to_codec_config, to_codebook);
  if (!converted) {
    return nullptr;
  }
  const auto& [vectors, config_arg, codebook_arg] = *converted;
  auto matrix = numpy::copy_matrix(vectors);
  if (!matrix) {
    return nullptr;
  }
  const codec::CodecConfig config = *config_arg;
  const codec::Codebook codebook = *codebook_arg;
  auto records = interruptible(long_batch(matrix->rows, config), [&](const StopToken& stop) {
    return codec::Codec::compress_batch(matrix->values, matrix->rows, matrix->cols, config,
                                        codebook, stop);
  });
  if (!records) {
    return nullptr;
  }
  if (!*records) {
    return raise_codec_error(records->error());
  }
  return new_list(records->value(), [](codec::CompressedVector& record) {
    return new_compressed_vector(std::move(record));
  });
}

std::optional<std::vector<codec::CompressedVector>> to_record_list(PyObject* object) {
  return to_vector_of(object, to_compressed_vector);
}

constexpr Signature<3> kDecompressBatchSignature{"Codec.decompress_batch",
                                                 {"compressed", "config", "codebook"}};

PyObject* codec_decompress_batch(PyObject*, const Args<3>& args) {
  const auto converted = args.convert_all(to_record_list, to_codec_config, to_codebook);
  if (!converted) {
    return nullptr;
  }
  const auto& [records, config_arg, codebook_arg] = *converted;
  const codec::CodecConfig config = *config_arg;
  const codec::Codebook codebook = *codebook_arg;
  // Checked before any record, so an empty batch is refused as well.
  if (codebook.bit_width() != config.bit_width()) {
    return raise_codec_error(
        codec::CodecError::codebook_incompatible(config.bit_width(), codebook.bit_width()));
  }
  const std::size_t count = records.size();
  const std::size_t dimension = count == 0 ? 0 : config.dimension();
  // Decoded straight into the result's memory; on failure the array is dropped.
  float* data = nullptr;
  Ref result = Ref::steal(numpy::new_matrix(count, dimension, &data));
  if (!result) {
    return nullptr;
  }
  const std::span<float> out(data, count * dimension);
  auto status = interruptible(long_batch(count, config), [&records = records, &config, &codebook,
                                                          out](const StopToken& stop) {
    return codec::Codec::decompress_batch(records, config, codebook, out, stop);
  });
  if (!status) {
    return nullptr;
  }
  if (!*status) {
    return raise_codec_error(status->error());
  }
  return result.release();
}

// ---- methods shared with Codebook and RotationMatrix ------------------------

constexpr Signature<2> kBuildCodebookSignature{"Codec.build_codebook",
                                               {"training_vectors", "config"}};

PyObject* codec_build_codebook(PyObject*, const Args<2>& args) {
  return train_codebook_operation(args);
}

constexpr Signature<1> kBuildRotationSignature{"Codec.build_rotation", {"config"}};

PyObject* codec_build_rotation(PyObject*, const Args<1>& args) {
  return rotation_from_config_operation(args);
}

// ---- single vectors ---------------------------------------------------------

constexpr Signature<3> kCompressSignature{"Codec.compress", {"vector", "config", "codebook"}};
constexpr Signature<3> kDecompressSignature{"Codec.decompress",
                                            {"compressed", "config", "codebook"}};

PyObject* codec_compress(PyObject*, const Args<3>& args) { return compress_operation(args); }
PyObject* codec_decompress(PyObject*, const Args<3>& args) { return decompress_operation(args); }

// ---- type -------------------------------------------------------------------

// A Codec has no state worth sending; the values it works with do pickle.
constexpr char kNotPicklable[] =
    "a Codec holds no state; create Codec() where it is needed and send the CodecConfig and "
    "Codebook (which pickle) instead";

PyMethodDef methods[] = {
    method<kCompressSignature, codec_compress>(),
    method<kDecompressSignature, codec_decompress>(),
    method<kCompressBatchSignature, codec_compress_batch>(),
    method<kDecompressBatchSignature, codec_decompress_batch>(),
    method<kBuildCodebookSignature, codec_build_codebook>(),
    method<kBuildRotationSignature, codec_build_rotation>(),
    refuse_pickling<kNotPicklable>(),
    methods_end(),
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, class_doc<kNewSignature>(
                        "Stateless codec service \u2014 wraps `marrowfin_core::codec::Codec`.")),
    slot(Py_tp_new, &constructor<kNewSignature, codec_new>),
    slot(Py_tp_dealloc, &dealloc_instance<Stateless>),
    slot(Py_tp_methods, methods),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.Codec", instance_size<Stateless>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* codec_type() { return heap_type.get(); }

PyObject* compress_operation(const Args<3>& args) {
  const auto converted = args.convert_all(numpy::to_vector, to_codec_config, to_codebook);
  if (!converted) {
    return nullptr;
  }
  const auto& [vector, config_arg, codebook_arg] = *converted;
  const auto values = numpy::copy_vector(vector);
  if (!values) {
    return nullptr;
  }
  const codec::CodecConfig config = *config_arg;
  const codec::Codebook codebook = *codebook_arg;
  auto record = without_gil([&] { return codec::Codec::compress(*values, config, codebook); });
  if (!record) {
    return raise_codec_error(record.error());
  }
  return new_compressed_vector(std::move(record).value());
}

PyObject* decompress_operation(const Args<3>& args) {
  const auto converted = args.convert_all(to_compressed_vector, to_codec_config, to_codebook);
  if (!converted) {
    return nullptr;
  }
  const auto& [compressed, config_arg, codebook_arg] = *converted;
  const codec::CodecConfig config = *config_arg;
  const codec::Codebook codebook = *codebook_arg;
  auto vector = without_gil([&record = compressed, &config, &codebook] {
    return codec::Codec::decompress(record, config, codebook);
  });
  if (!vector) {
    return raise_codec_error(vector.error());
  }
  return numpy::vector_result(std::move(vector).value());
}

}  // namespace marrowfin::py
