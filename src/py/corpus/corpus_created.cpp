#include <utility>

#include "py/corpus/compression_policy.hpp"
#include "py/corpus/corpus_events.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/ref.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// The core event plus the CodecConfig object the corpus was built with: the
// event hands out that very object, not a new one made from the core value.
struct Created : corpus::CorpusCreated {
  Created(const corpus::CorpusCreated& event, PyObject* config)
      : corpus::CorpusCreated(event), codec_config(Ref::borrow(config)) {}
  Ref codec_config;
};

PyObject* get_codec_config(PyObject* self) {
  return Py_NewRef(value_of<Created>(self).codec_config.get());
}

// A new CompressionPolicy object on each read (equal to the class member).
PyObject* get_compression_policy(PyObject* self) {
  return new_compression_policy(value_of<Created>(self).compression_policy);
}

PyGetSetDef properties[] = {
    property<field<&Created::corpus_id, Created>>("corpus_id"),
    property<get_codec_config>("codec_config"),
    property<get_compression_policy>("compression_policy"),
    property<field<&Created::timestamp, Created>>("timestamp"),
    properties_end(),
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, "Python parity for `marrowfin_cpu.corpus.events.CorpusCreated`."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Created>),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.CorpusCreated", instance_size<Created>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* corpus_created_type() { return heap_type.get(); }

PyObject* new_corpus_created(const corpus::CorpusCreated& event, PyObject* codec_config) {
  return new_instance<Created>(corpus_created_type(), event, codec_config);
}

}  // namespace marrowfin::py
