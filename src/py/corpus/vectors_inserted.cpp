#include "core/common/shared.hpp"
#include "py/corpus/corpus_events.hpp"
#include "py/corpus/event_fields.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/ref.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

using Inserted = corpus::VectorsInserted;

// A new list on each read, the ids in insertion order.
PyObject* get_vector_ids(PyObject* self) {
  const Inserted& event = value_of<Inserted>(self);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(event.vector_ids.size())));
  if (!list) {
    return nullptr;
  }
  Py_ssize_t index = 0;
  for (const SharedText& id : event.vector_ids) {
    PyObject* text = new_text(id);
    if (text == nullptr || PyList_SetItem(list.get(), index++, text) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* get_count(PyObject* self) {
  return PyLong_FromUnsignedLong(value_of<Inserted>(self).count);
}

PyGetSetDef properties[] = {
    property<event_corpus_id<Inserted>>("corpus_id"),
    property<get_vector_ids>("vector_ids"),
    property<get_count>("count"),
    property<event_timestamp<Inserted>>("timestamp"),
    properties_end(),
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, "Python parity for `marrowfin_cpu.corpus.events.VectorsInserted`."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Inserted>),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec spec = {"marrowfin_rs.VectorsInserted", instance_size<Inserted>, 0, kClassFlags,
                    slots};

HeapType heap_type{spec};

}  // namespace

PyTypeObject* vectors_inserted_type() { return heap_type.get(); }

PyObject* new_vectors_inserted(const corpus::VectorsInserted& event) {
  return new_instance<Inserted>(vectors_inserted_type(), event);
}

}  // namespace marrowfin::py
