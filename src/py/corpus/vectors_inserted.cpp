#include "core/common/shared.hpp"
#include "py/corpus/corpus_events.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/list.hpp"
#include "py/toolkit/text.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

using Inserted = corpus::VectorsInserted;

// A new list on each read, the ids in insertion order.
PyObject* get_vector_ids(PyObject* self) {
  const Inserted& event = value_of<Inserted>(self);
  return new_list(event.vector_ids, [](const SharedText& id) { return new_text(id); });
}

PyGetSetDef properties[] = {
    property<field<&Inserted::corpus_id>>("corpus_id"),
    property<get_vector_ids>("vector_ids"),
    property<field<&Inserted::count>>("count"),
    property<field<&Inserted::timestamp>>("timestamp"),
    properties_end(),
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, "Python parity for `marrowfin_cpu.corpus.events.VectorsInserted`."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Inserted>),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.VectorsInserted", instance_size<Inserted>, 0, kClassFlags,
                    slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* vectors_inserted_type() { return heap_type.get(); }

PyObject* new_vectors_inserted(const corpus::VectorsInserted& event) {
  return new_instance<Inserted>(vectors_inserted_type(), event);
}

}  // namespace marrowfin::py
