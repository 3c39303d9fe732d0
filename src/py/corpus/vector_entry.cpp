#include "py/corpus/vector_entry.hpp"

#include <string>
#include <utility>

#include "py/codec/compressed_vector.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
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
