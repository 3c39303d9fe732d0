#include <array>
#include <string>
#include <utility>

#include "py/corpus/corpus_events.hpp"
#include "py/errors.hpp"
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

using Violation = corpus::CompressionPolicyViolationDetected;

PyObject* get_violation_type(PyObject* self) {
  return new_text(corpus::violation_kind_text(value_of<Violation>(self).violation_type));
}

// ---- pickling ---------------------------------------------------------------

PyObject* violation_reduce(PyObject* self) {
  const Violation& event = value_of<Violation>(self);
  Ref corpus_id = Ref::steal(new_text(event.corpus_id));
  Ref violation_type = Ref::steal(get_violation_type(self));
  Ref detail = Ref::steal(new_text(event.detail));
  if (!corpus_id || !violation_type || !detail) {
    return nullptr;
  }
  return reduce_with_class_method(
      self, "_unpickle",
      Py_BuildValue("(OOOL)", corpus_id.get(), violation_type.get(), detail.get(),
                    static_cast<long long>(event.timestamp)));
}

constexpr std::array<corpus::ViolationKind, 4> kKinds = {
    corpus::ViolationKind::ConfigMismatch, corpus::ViolationKind::PolicyConflict,
    corpus::ViolationKind::DuplicateId, corpus::ViolationKind::DimensionMismatch};

constexpr Signature<4> kUnpickleSignature{"CompressionPolicyViolationDetected._unpickle",
                                          {"corpus_id", "violation_type", "detail", "timestamp"}};

PyObject* violation_unpickle(PyObject*, const Args<4>& args) {
  auto converted = args.convert_all(to_string, to_string, to_string, to_i64);
  if (!converted) {
    return nullptr;
  }
  auto& [corpus_id, type_text, detail, timestamp] = *converted;
  for (const corpus::ViolationKind kind : kKinds) {
    if (corpus::violation_kind_text(kind) == type_text) {
      return new_compression_policy_violation_detected(Violation{
          share_text(std::move(corpus_id)), kind, share_text(std::move(detail)), timestamp});
    }
  }
  return raise_with_message(PyExc_ValueError,
                            "unknown violation_type '" + type_text +
                                "'; expected config_mismatch, policy_conflict, duplicate_id or "
                                "dimension_mismatch");
}

PyMethodDef methods[] = {
    noargs<kReduceSignature, violation_reduce>(
        "Pickle support: the id, violation type, detail and timestamp."),
    class_method<kUnpickleSignature, violation_unpickle>("Rebuild a pickled event."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

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
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.CompressionPolicyViolationDetected",
                         instance_size<Violation>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* compression_policy_violation_detected_type() { return heap_type.get(); }

PyObject* new_compression_policy_violation_detected(
    const corpus::CompressionPolicyViolationDetected& event) {
  return new_instance<Violation>(compression_policy_violation_detected_type(), event);
}

}  // namespace marrowfin::py
