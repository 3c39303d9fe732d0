#include "py/corpus/corpus_events.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

using Decompressed = corpus::CorpusDecompressed;

PyGetSetDef properties[] = {
    property<field<&Decompressed::corpus_id>>("corpus_id"),
    property<field<&Decompressed::vector_count>>("vector_count"),
    property<field<&Decompressed::timestamp>>("timestamp"),
    properties_end(),
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, "Python parity for `marrowfin_cpu.corpus.events.CorpusDecompressed`."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Decompressed>),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.CorpusDecompressed", instance_size<Decompressed>, 0,
                    kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* corpus_decompressed_type() { return heap_type.get(); }

PyObject* new_corpus_decompressed(const corpus::CorpusDecompressed& event) {
  return new_instance<Decompressed>(corpus_decompressed_type(), event);
}

}  // namespace marrowfin::py
