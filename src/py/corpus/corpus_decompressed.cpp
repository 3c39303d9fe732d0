#include <utility>

#include "py/corpus/corpus_events.hpp"
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

using Decompressed = corpus::CorpusDecompressed;

// ---- pickling ---------------------------------------------------------------

PyObject* decompressed_reduce(PyObject* self) {
  const Decompressed& event = value_of<Decompressed>(self);
  Ref corpus_id = Ref::steal(new_text(event.corpus_id));
  if (!corpus_id) {
    return nullptr;
  }
  return reduce_with_class_method(
      self, "_unpickle",
      Py_BuildValue("(OIL)", corpus_id.get(), static_cast<unsigned int>(event.vector_count),
                    static_cast<long long>(event.timestamp)));
}

constexpr Signature<3> kUnpickleSignature{"CorpusDecompressed._unpickle",
                                          {"corpus_id", "vector_count", "timestamp"}};

PyObject* decompressed_unpickle(PyObject*, const Args<3>& args) {
  auto converted = args.convert_all(to_string, to_u32, to_i64);
  if (!converted) {
    return nullptr;
  }
  auto& [corpus_id, vector_count, timestamp] = *converted;
  return new_corpus_decompressed(
      Decompressed{share_text(std::move(corpus_id)), vector_count, timestamp});
}

PyMethodDef methods[] = {
    noargs<kReduceSignature, decompressed_reduce>(
        "Pickle support: the id, the vector count and the timestamp."),
    class_method<kUnpickleSignature, decompressed_unpickle>("Rebuild a pickled event."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

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
    slot(Py_tp_methods, methods),
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
