#include <utility>

#include "py/codec/codec_config.hpp"
#include "py/corpus/compression_policy.hpp"
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

// ---- pickling ---------------------------------------------------------------

// The event travels with its CodecConfig object (which pickles by value) and
// unpickles to an event holding the unpickled config.
PyObject* created_reduce(PyObject* self) {
  const Created& event = value_of<Created>(self);
  Ref corpus_id = Ref::steal(new_text(event.corpus_id));
  Ref policy = Ref::steal(new_compression_policy(event.compression_policy));
  if (!corpus_id || !policy) {
    return nullptr;
  }
  return reduce_with_class_method(
      self, "_unpickle",
      Py_BuildValue("(OOOL)", corpus_id.get(), event.codec_config.get(), policy.get(),
                    static_cast<long long>(event.timestamp)));
}

constexpr Signature<4> kUnpickleSignature{
    "CorpusCreated._unpickle", {"corpus_id", "codec_config", "compression_policy", "timestamp"}};

PyObject* created_unpickle(PyObject*, const Args<4>& args) {
  auto converted = args.convert_all(to_string, to_codec_config, to_compression_policy, to_i64);
  if (!converted) {
    return nullptr;
  }
  auto& [corpus_id, config, policy, timestamp] = *converted;
  const corpus::CorpusCreated event{share_text(std::move(corpus_id)), *config, policy, timestamp};
  return new_corpus_created(event, args[1]);
}

PyMethodDef methods[] = {
    noargs<kReduceSignature, created_reduce>(
        "Pickle support: the id, config, policy and timestamp."),
    class_method<kUnpickleSignature, created_unpickle>("Rebuild a pickled event."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

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
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.CorpusCreated", instance_size<Created>, 0, kClassFlags,
                         slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* corpus_created_type() { return heap_type.get(); }

PyObject* new_corpus_created(const corpus::CorpusCreated& event, PyObject* codec_config) {
  return new_instance<Created>(corpus_created_type(), event, codec_config);
}

}  // namespace marrowfin::py
