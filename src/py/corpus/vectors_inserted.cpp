#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "core/common/shared.hpp"
#include "py/corpus/corpus_events.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/list.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/ref.hpp"
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

// ---- pickling ---------------------------------------------------------------

// `count` is the number of ids; it is not pickled on its own.
PyObject* inserted_reduce(PyObject* self) {
  const Inserted& event = value_of<Inserted>(self);
  Ref corpus_id = Ref::steal(new_text(event.corpus_id));
  Ref vector_ids = Ref::steal(get_vector_ids(self));
  if (!corpus_id || !vector_ids) {
    return nullptr;
  }
  return reduce_with_class_method(self, "_unpickle",
                                  Py_BuildValue("(OOL)", corpus_id.get(), vector_ids.get(),
                                                static_cast<long long>(event.timestamp)));
}

constexpr Signature<3> kUnpickleSignature{"VectorsInserted._unpickle",
                                          {"corpus_id", "vector_ids", "timestamp"}};

PyObject* inserted_unpickle(PyObject*, const Args<3>& args) {
  auto converted = args.convert_all(to_string, to_string_vector, to_i64);
  if (!converted) {
    return nullptr;
  }
  auto& [corpus_id, ids, timestamp] = *converted;
  if (ids.size() > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "too many vector_ids for one event");
    return nullptr;
  }
  Inserted event;
  event.corpus_id = share_text(std::move(corpus_id));
  event.vector_ids.reserve(ids.size());
  for (std::string& id : ids) {
    event.vector_ids.push_back(share_text(std::move(id)));
  }
  event.count = static_cast<std::uint32_t>(event.vector_ids.size());
  event.timestamp = timestamp;
  return new_vectors_inserted(event);
}

PyMethodDef methods[] = {
    noargs<kReduceSignature, inserted_reduce>(
        "Pickle support: the id, the inserted ids and the timestamp."),
    class_method<kUnpickleSignature, inserted_unpickle>("Rebuild a pickled event."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

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
    slot(Py_tp_methods, methods),
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
