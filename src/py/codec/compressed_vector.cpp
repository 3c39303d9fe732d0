#include "py/codec/compressed_vector.hpp"

#include <utility>
#include <vector>

#include "io/compressed_vector/pack.hpp"
#include "io/compressed_vector/unpack.hpp"
#include "py/errors.hpp"
#include "py/numpy/arrays.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/ref.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// An instance is the object header followed by the core record; its index,
// residual and hash buffers are shared with the codec, corpora and copies.
using Record = codec::CompressedVector;

PyObject* bytes_of(const std::vector<std::uint8_t>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// ---- binary form ------------------------------------------------------------

PyObject* compressed_vector_to_bytes(PyObject* self) {
  return bytes_of(io::to_bytes(value_of<Record>(self)));
}

constexpr Signature<1> kFromBytesSignature{"CompressedVector.from_bytes", {"data"}};
constexpr Signature<0> kToBytesSignature{"CompressedVector.to_bytes", {}};

// Only bytes (or a subclass) are read; the reader copies what it keeps, so
// the record does not depend on the bytes object afterwards.
PyObject* compressed_vector_from_bytes(PyObject*, const Args<1>& args) {
  const auto data = args.convert(0, to_bytes);
  if (!data) {
    return nullptr;
  }
  auto record = io::from_bytes(*data);
  if (!record) {
    return raise_io_error(record.error());
  }
  return new_compressed_vector(std::move(record).value());
}

// A record pickles as its binary form, which from_bytes reads back into a
// record with the same indices, residual, hash, dimension and bit width.
PyObject* compressed_vector_reduce(PyObject* self) {
  Ref blob = Ref::steal(compressed_vector_to_bytes(self));
  if (!blob) {
    return nullptr;
  }
  return reduce_with_class_method(self, "from_bytes", PyTuple_Pack(1, blob.get()));
}

// ---- read-only properties ---------------------------------------------------

// A fresh writable copy on every read: the shared indices are never exposed.
PyObject* get_indices(PyObject* self) {
  return numpy::copied_uint8_array(*value_of<Record>(self).indices());
}

PyObject* get_residual(PyObject* self) {
  const auto& residual = value_of<Record>(self).residual();
  if (!residual) {
    Py_RETURN_NONE;
  }
  return bytes_of(**residual);
}

// ---- type -------------------------------------------------------------------

PyMethodDef methods[] = {
    noargs<kToBytesSignature, compressed_vector_to_bytes>("Serialize to compact binary form."),
    class_method<kFromBytesSignature, compressed_vector_from_bytes>(
        "Deserialize from compact binary form."),
    noargs<kReduceSignature, compressed_vector_reduce>(
        "Pickle support: (CompressedVector.from_bytes, (self.to_bytes(),))."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

PyGetSetDef properties[] = {
    property<get_indices>("indices"),
    property<get_residual>("residual"),
    property<field<&Record::config_hash>>("config_hash"),
    property<field<&Record::dimension>>("dimension"),
    property<field<&Record::bit_width>>("bit_width"),
    property<field<&Record::has_residual>>("has_residual"),
    property<field<&Record::size_bytes>>("size_bytes"),
    properties_end(),
};

// Instances come only from the codec, from_bytes and corpora; no repr,
// comparison or hash (identity semantics).
PyType_Slot slots[] = {
    slot(Py_tp_doc, "Immutable output of a codec compression pass."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Record>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.CompressedVector", instance_size<Record>, 0, kClassFlags,
                         slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* compressed_vector_type() { return heap_type.get(); }

PyObject* new_compressed_vector(codec::CompressedVector record) {
  return new_instance<Record>(compressed_vector_type(), std::move(record));
}

std::optional<codec::CompressedVector> to_compressed_vector(PyObject* object) {
  if (!to_instance(object, compressed_vector_type())) {
    return std::nullopt;
  }
  return value_of<Record>(object);
}

}  // namespace marrowfin::py
