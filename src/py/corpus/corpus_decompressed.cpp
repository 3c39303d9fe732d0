#include "py/corpus/corpus_events.hpp"
#include "py/corpus/event_fields.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

using Decompressed = corpus::CorpusDecompressed;

PyObject* get_vector_count(PyObject* self) {
  return PyLong_FromUnsignedLong(value_of<Decompressed>(self).vector_count);
}

PyGetSetDef properties[] = {
    property<event_corpus_id<Decompressed>>("corpus_id"),
    property<get_vector_count>("vector_count"),
    property<event_timestamp<Decompressed>>("timestamp"),
    properties_end(),
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, "Python parity for `marrowfin_cpu.corpus.events.CorpusDecompressed`."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Decompressed>),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec spec = {"marrowfin_rs.CorpusDecompressed", instance_size<Decompressed>, 0,
                    kClassFlags, slots};

HeapType heap_type{spec};

}  // namespace

PyTypeObject* corpus_decompressed_type() { return heap_type.get(); }

PyObject* new_corpus_decompressed(const corpus::CorpusDecompressed& event) {
  return new_instance<Decompressed>(corpus_decompressed_type(), event);
}

}  // namespace marrowfin::py
