#include "py/codec/codebook.hpp"

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

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

// Training sorts every value: from 16 million values on (64 MiB, tens of
// milliseconds) Ctrl-C can end it (gil.hpp).
bool long_training(std::span<const float> values) {
  return values.size() >= (std::size_t{1} << 24);
}

namespace {

// An instance is the object header followed by the core value, whose entry
// array is shared with every copy the codec makes of it.
using Book = codec::Codebook;

// ---- construction -----------------------------------------------------------

constexpr Signature<2> kNewSignature{"Codebook.__new__", {"entries", "bit_width"}};

// Both arguments convert before the array's layout is looked at; the levels
// are then copied, so the caller's array stays untouched and may change later.
PyObject* codebook_new(PyTypeObject* type, const Args<2>& args) {
  const auto converted = args.convert_all(numpy::to_vector, to_u8);
  if (!converted) {
    return nullptr;
  }
  const auto& [entries, bit_width] = *converted;
  auto levels = numpy::copy_vector(entries);
  if (!levels) {
    return nullptr;
  }
  auto codebook = Book::create(std::move(*levels), bit_width);
  if (!codebook) {
    return raise_codec_error(codebook.error());
  }
  return new_instance<Book>(type, std::move(codebook).value());
}

// ---- training ---------------------------------------------------------------

constexpr Signature<2> kTrainSignature{"Codebook.train", {"vectors", "config"}};

PyObject* codebook_train(PyObject*, const Args<2>& args) { return train_codebook_operation(args); }

constexpr Signature<3> kTrainLloydMaxSignature{
    "Codebook.train_lloyd_max", {"vectors", "config", "iterations"}, 2, "32"};

// Argument rules and errors as train, plus `iterations` (an int >= 0, 32 by default).
PyObject* codebook_train_lloyd_max(PyObject*, const Args<3>& args) {
  const auto converted =
      args.convert_all(numpy::to_matrix, to_codec_config, or_default(to_u32, 32u));
  if (!converted) {
    return nullptr;
  }
  const auto& [vectors, config, iterations] = *converted;
  auto view = numpy::view_matrix(vectors);
  if (!view) {
    return nullptr;
  }
  const codec::CodecConfig training_config = *config;
  const std::uint32_t steps = iterations;
  auto codebook = interruptible(long_training(view->values()), [&](const StopToken& stop) {
    return Book::train_lloyd_max(view->values(), training_config, steps, stop);
  });
  if (!codebook) {
    return nullptr;
  }
  if (!*codebook) {
    return raise_codec_error(codebook->error());
  }
  return new_instance<Book>(codebook_type(), std::move(*codebook).value());
}

// ---- read-only properties ---------------------------------------------------

// A fresh NumPy copy on every read: the shared levels are never exposed.
PyObject* get_entries(PyObject* self) {
  return numpy::copied_float32_array(value_of<Book>(self).entries());
}

// ---- pickling ---------------------------------------------------------------

// The levels travel as little-endian binary32 bytes, so a pickle does not
// depend on NumPy's own pickle format (which differs between NumPy 1 and 2).
PyObject* codebook_reduce(PyObject* self) {
  const Book& codebook = value_of<Book>(self);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(codebook.entries().size() * 4);
  for (const float level : codebook.entries()) {
    const auto bits = std::bit_cast<std::uint32_t>(level);
    for (int k = 0; k < 4; ++k) {
      bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
    }
  }
  return reduce_with_class_method(
      self, "_unpickle",
      Py_BuildValue("(y#i)", reinterpret_cast<const char*>(bytes.data()),
                    static_cast<Py_ssize_t>(bytes.size()), int{codebook.bit_width()}));
}

constexpr Signature<2> kUnpickleSignature{"Codebook._unpickle", {"entries", "bit_width"}};

// The reconstructor of a pickled codebook: the levels as little-endian
// binary32 bytes, validated like the constructor's.
PyObject* codebook_unpickle(PyObject*, const Args<2>& args) {
  const auto converted = args.convert_all(to_bytes, to_u8);
  if (!converted) {
    return nullptr;
  }
  const auto& [bytes, bit_width] = *converted;
  if (bytes.size() % 4 != 0) {
    PyErr_SetString(PyExc_ValueError, "codebook entries must be a whole number of float32 values");
    return nullptr;
  }
  std::vector<float> levels(bytes.size() / 4);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    std::uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) {
      bits |= static_cast<std::uint32_t>(bytes[4 * i + static_cast<std::size_t>(k)]) << (8 * k);
    }
    levels[i] = std::bit_cast<float>(bits);
  }
  auto codebook = Book::create(std::move(levels), bit_width);
  if (!codebook) {
    return raise_codec_error(codebook.error());
  }
  return new_instance<Book>(codebook_type(), std::move(codebook).value());
}

// ---- type -------------------------------------------------------------------

PyMethodDef methods[] = {
    class_method<kTrainSignature, codebook_train>(
        "Train a codebook from representative FP32 vectors."),
    noargs<kReduceSignature, codebook_reduce>(
        "Pickle support: the levels as little-endian float32 bytes and the bit width."),
    class_method<kUnpickleSignature, codebook_unpickle>(
        "Rebuild a pickled codebook from little-endian float32 bytes (validated)."),
    copy_returns_self(),
    deepcopy_returns_self(),
    class_method<kTrainLloydMaxSignature, codebook_train_lloyd_max>(
        "Train a codebook whose levels minimise the mean squared quantization error\n"
        "(Lloyd-Max, started from the quantile levels of train)."),
    methods_end(),
};

PyGetSetDef properties[] = {
    property<get_entries>("entries"),
    property<field<&Book::bit_width>>("bit_width"),
    property<field<&Book::num_entries>>("num_entries"),
    properties_end(),
};

// No repr, rich comparison or hash: identity semantics.
PyType_Slot slots[] = {
    slot(Py_tp_doc, class_doc<kNewSignature>(
                        "Immutable lookup table mapping quantized indices to float32 values.")),
    slot(Py_tp_new, &constructor<kNewSignature, codebook_new>),
    slot(Py_tp_dealloc, &dealloc_instance<Book>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.Codebook", instance_size<Book>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* codebook_type() { return heap_type.get(); }

std::optional<const codec::Codebook*> to_codebook(PyObject* object) {
  if (!to_instance(object, codebook_type())) {
    return std::nullopt;
  }
  return &value_of<Book>(object);
}

PyObject* train_codebook_operation(const Args<2>& args) {
  const auto converted = args.convert_all(numpy::to_matrix, to_codec_config);
  if (!converted) {
    return nullptr;
  }
  const auto& [vectors, config] = *converted;
  // Training sorts every value: the matrix is read in place rather than
  // copied, the view keeping the array alive until the lock is back.
  auto view = numpy::view_matrix(vectors);
  if (!view) {
    return nullptr;
  }
  const codec::CodecConfig training_config = *config;
  auto codebook = interruptible(long_training(view->values()), [&](const StopToken& stop) {
    return Book::train(view->values(), training_config, stop);
  });
  if (!codebook) {
    return nullptr;
  }
  if (!*codebook) {
    return raise_codec_error(codebook->error());
  }
  // Always the Codebook class itself, whichever class the method was called on.
  return new_instance<Book>(codebook_type(), std::move(*codebook).value());
}

}  // namespace marrowfin::py
