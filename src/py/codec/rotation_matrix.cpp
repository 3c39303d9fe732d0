#include "py/codec/rotation_matrix.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/rotation/rotation_matrix.hpp"
#include "py/codec/codec_config.hpp"
#include "py/errors.hpp"
#include "py/numpy/arrays.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/gil.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// An instance is the object header followed by the core value; the n * n
// matrix values are shared with the process-wide cache and every copy.
using Rotation = rotation::RotationMatrix;

// Generation is O(n^3): other Python threads run meanwhile, and Ctrl-C ends
// it at a large dimension. Nothing Python is touched while building, so the
// arguments need no copying.
PyObject* build_rotation_object(std::uint64_t seed, std::uint32_t dimension) {
  auto rotation = interruptible(dimension >= kLongRotationDimension, [&](const StopToken& stop) {
    return Rotation::cached(seed, dimension, stop);
  });
  if (!rotation || !*rotation) {
    // Only a raised stop leaves no matrix, and only a pending signal raises it.
    return rotation ? raise_codec_error(codec::CodecError::interrupted()) : nullptr;
  }
  return new_instance<Rotation>(rotation_matrix_type(), std::move(**rotation));
}

// ---- class methods ----------------------------------------------------------

constexpr Signature<1> kFromConfigSignature{"RotationMatrix.from_config", {"config"}};

PyObject* rotation_from_config(PyObject*, const Args<1>& args) {
  return rotation_from_config_operation(args);
}

constexpr Signature<2> kFromSeedAndDimSignature{"RotationMatrix.from_seed_and_dim",
                                                {"seed", "dimension"}};

// Without a CodecConfig to vouch for the dimension, it is checked here, with
// messages of its own (the zero case names no number).
PyObject* rotation_from_seed_and_dim(PyObject*, const Args<2>& args) {
  const auto converted = args.convert_all(to_u64, to_u32);
  if (!converted) {
    return nullptr;
  }
  const auto [seed, dimension] = *converted;
  if (dimension == 0) {
    PyErr_SetString(PyExc_ValueError, "dimension must be > 0");
    return nullptr;
  }
  if (dimension > codec::MAX_DIMENSION) {
    return raise_with_message(PyExc_ValueError,
                              "dimension must be <= " + std::to_string(codec::MAX_DIMENSION) +
                                  ", got " + std::to_string(dimension));
  }
  return build_rotation_object(seed, dimension);
}

// ---- methods ----------------------------------------------------------------

// Written straight into the bytes object: at n = 16384 the matrix is 2 GiB,
// so no intermediate buffer.
PyObject* rotation_matrix_f64_bytes(PyObject* self) {
  const std::span<const double> values = value_of<Rotation>(self).values();
  Ref bytes =
      Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size_bytes())));
  if (!bytes) {
    return nullptr;
  }
  char* out = PyBytes_AsString(bytes.get());
  if (out == nullptr) {
    return nullptr;
  }
  // Native doubles are already the little-endian bytes asked for on x86-64.
  static_assert(std::endian::native == std::endian::little);
  if (!values.empty()) {
    std::memcpy(out, values.data(), values.size_bytes());
  }
  return bytes.release();
}

enum class Direction { Forward, Inverse };

// apply / apply_inverse: the vector is checked and copied, its length checked
// against the matrix, and the product handed to NumPy without a copy.
template <Direction D>
PyObject* rotation_multiply(PyObject* self, const Args<1>& args) {
  const auto vector = args.convert(0, numpy::to_vector);
  if (!vector) {
    return nullptr;
  }
  const auto input = numpy::copy_vector(*vector);
  if (!input) {
    return nullptr;
  }
  const Rotation& rotation = value_of<Rotation>(self);
  if (input->size() != rotation.dimension()) {
    return raise_with_message(PyExc_ValueError, "vector dimension must be " +
                                                    std::to_string(rotation.dimension()) +
                                                    ", got " + std::to_string(input->size()));
  }
  std::vector<float> output(input->size());
  const auto status = D == Direction::Forward ? rotation.apply(*input, output)
                                              : rotation.apply_inverse(*input, output);
  if (!status) {
    return raise_codec_error(status.error());
  }
  return numpy::vector_result(std::move(output));
}

// A rotation is a function of (seed, dimension) alone: the pickle carries
// those two numbers, not the n * n matrix, and unpickling regenerates the
// identical matrix.
PyObject* rotation_reduce(PyObject* self) {
  const Rotation& rotation = value_of<Rotation>(self);
  return reduce_with_class_method(
      self, "from_seed_and_dim",
      Py_BuildValue("(KI)", static_cast<unsigned long long>(rotation.seed()),
                    static_cast<unsigned int>(rotation.dimension())));
}

constexpr Signature<1> kApplySignature{"RotationMatrix.apply", {"vector"}};
constexpr Signature<1> kApplyInverseSignature{"RotationMatrix.apply_inverse", {"vector"}};
constexpr Signature<0> kMatrixF64BytesSignature{"RotationMatrix.matrix_f64_bytes", {}};

// ---- type -------------------------------------------------------------------

PyMethodDef methods[] = {
    class_method<kFromConfigSignature, rotation_from_config>(
        "Build (or fetch from cache) a rotation matrix from the given config."),
    class_method<kFromSeedAndDimSignature, rotation_from_seed_and_dim>(
        "Build a rotation matrix directly from `(seed, dimension)`, bypassing `CodecConfig`.\n"
        "\n"
        "Rotation generation depends only on `(seed, dimension)`; `bit_width` is\n"
        "irrelevant. This constructor is used by the Python canonical bridge\n"
        "(`_install_canonical_rotation`) to avoid embedding a spurious `bit_width`\n"
        "in the call."),
    noargs<kMatrixF64BytesSignature, rotation_matrix_f64_bytes>(
        "Return the raw row-major `f64` bytes of the rotation matrix.\n"
        "\n"
        "Values are little-endian IEEE-754 doubles. Length is `dimension * dimension * 8`.\n"
        "Used by the Python canonical bridge to reconstruct a bit-identical matrix\n"
        "in the Python reference without re-running QR."),
    method<kApplySignature, rotation_multiply<Direction::Forward>>(),
    method<kApplyInverseSignature, rotation_multiply<Direction::Inverse>>(),
    noargs<kReduceSignature, rotation_reduce>(
        "Pickle support: (RotationMatrix.from_seed_and_dim, (seed, dimension))."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

PyGetSetDef properties[] = {
    property<field<&Rotation::seed>>("seed"),
    property<field<&Rotation::dimension>>("dimension"),
    properties_end(),
};

// Instances come only from the class methods; no repr, comparison or hash.
PyType_Slot slots[] = {
    slot(Py_tp_doc, "Deterministic orthogonal rotation matrix for vector preconditioning."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Rotation>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.RotationMatrix", instance_size<Rotation>, 0, kClassFlags,
                         slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* rotation_matrix_type() { return heap_type.get(); }

PyObject* rotation_from_config_operation(const Args<1>& args) {
  const auto config = args.convert(0, to_codec_config);
  if (!config) {
    return nullptr;
  }
  return build_rotation_object((*config)->seed(), (*config)->dimension());
}

}  // namespace marrowfin::py
