#include "py/corpus/vector_entry.hpp"

#include <string>
#include <utility>

#include "py/codec/compressed_vector.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/ref.hpp"
#include "py/toolkit/text.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

using Entry = corpus::VectorEntry;

// ---- representation ---------------------------------------------------------

// The id is written as it is, without quotes.
PyObject* entry_repr(PyObject* self) {
  const Entry& entry = value_of<Entry>(self);
  const std::string repr = "VectorEntry(vector_id=" + *entry.vector_id() +
                           ", dimension=" + std::to_string(entry.dimension()) +
                           ", has_residual=" + (entry.has_residual() ? "True" : "False") + ")";
  return new_text(repr);
}

// ---- read-only properties ---------------------------------------------------

// A new CompressedVector object on each read; it shares the payload buffers.
PyObject* get_compressed(PyObject* self) {
  return new_compressed_vector(value_of<Entry>(self).compressed());
}

// ---- pickling ---------------------------------------------------------------

// (VectorEntry._unpickle, (vector_id, compressed, dimension)); the record
// pickles as its binary form.
PyObject* entry_reduce(PyObject* self) {
  const Entry& entry = value_of<Entry>(self);
  Ref vector_id = Ref::steal(new_text(entry.vector_id()));
  Ref compressed = Ref::steal(new_compressed_vector(entry.compressed()));
  if (!vector_id || !compressed) {
    return nullptr;
  }
  return reduce_with_class_method(self, "_unpickle",
                                  Py_BuildValue("(OOI)", vector_id.get(), compressed.get(),
                                                static_cast<unsigned int>(entry.dimension())));
}

constexpr Signature<3> kUnpickleSignature{"VectorEntry._unpickle",
                                          {"vector_id", "compressed", "dimension"}};

PyObject* entry_unpickle(PyObject*, const Args<3>& args) {
  auto converted = args.convert_all(to_string, to_compressed_vector, to_u32);
  if (!converted) {
    return nullptr;
  }
  auto& [vector_id, compressed, dimension] = *converted;
  return new_vector_entry(
      Entry(share_text(std::move(vector_id)), std::move(compressed), dimension));
}

PyMethodDef methods[] = {
    noargs<kReduceSignature, entry_reduce>(
        "Pickle support: the id, the stored record and the dimension."),
    class_method<kUnpickleSignature, entry_unpickle>("Rebuild a pickled entry."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

// ---- type -------------------------------------------------------------------

PyGetSetDef properties[] = {
    property<field<&Entry::vector_id>>("vector_id"),
    property<get_compressed>("compressed"),
    property<field<&Entry::config_hash>>("config_hash"),
    property<field<&Entry::dimension>>("dimension"),
    property<field<&Entry::has_residual>>("has_residual"),
    properties_end(),
};

// No rich comparison and no hash: equality and hashing are by identity.
PyType_Slot slots[] = {
    slot(Py_tp_doc, "Entity representing a stored vector in the corpus."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Entry>),
    slot(Py_tp_repr, &unary<entry_repr>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.VectorEntry", instance_size<Entry>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* vector_entry_type() { return heap_type.get(); }

PyObject* new_vector_entry(corpus::VectorEntry entry) {
  return new_instance<Entry>(vector_entry_type(), std::move(entry));
}

}  // namespace marrowfin::py
