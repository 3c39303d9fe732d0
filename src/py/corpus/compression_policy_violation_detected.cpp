#include "py/corpus/corpus_events.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/text.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

using Violation = corpus::CompressionPolicyViolationDetected;

PyObject* get_violation_type(PyObject* self) {
  return new_text(corpus::violation_kind_text(value_of<Violation>(self).violation_type));
}

PyGetSetDef properties[] = {
    property<field<&Violation::corpus_id>>("corpus_id"),
    property<get_violation_type>("violation_type"),
    property<field<&Violation::detail>>("detail"),
    property<field<&Violation::timestamp>>("timestamp"),
    properties_end(),
};

PyType_Slot slots[] = {
    slot(Py_tp_doc,
         "Python parity for\n"
         "`marrowfin_cpu.corpus.events.CompressionPolicyViolationDetected`."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Violation>),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.CompressionPolicyViolationDetected", instance_size<Violation>, 0,
                    kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* compression_policy_violation_detected_type() { return heap_type.get(); }

PyObject* new_compression_policy_violation_detected(
    const corpus::CompressionPolicyViolationDetected& event) {
  return new_instance<Violation>(compression_policy_violation_detected_type(), event);
}

}  // namespace marrowfin::py
