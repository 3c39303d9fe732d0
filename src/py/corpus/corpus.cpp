#include "py/corpus/corpus.hpp"

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/backend/backend_error.hpp"
#include "core/common/shared.hpp"
#include "core/corpus/corpus.hpp"
#include "py/backend/search_result.hpp"
#include "py/codec/codebook.hpp"
#include "py/codec/codec_config.hpp"
#include "py/corpus/compression_policy.hpp"
#include "py/corpus/corpus_events.hpp"
#include "py/corpus/vector_entry.hpp"
#include "py/errors.hpp"
#include "py/numpy/arrays.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/gil.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/list.hpp"
#include "py/toolkit/panic.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/ref.hpp"
#include "py/toolkit/shared_state.hpp"
#include "py/toolkit/text.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

using CoreCorpus = corpus::Corpus;
constexpr PoisonMessages kPoisoned{"corpus mutex poisoned", "corpus mutex poisoned"};
using SharedCorpus = SharedState<CoreCorpus, kPoisoned>;

// What an instance holds: the shared core state, the CodecConfig and Codebook
// objects given to the constructor (handed out as they are), and the policy,
// which never changes and so is read without the mutex.
struct CorpusObject {
  SharedCorpus core;
  Ref codec_config;
  Ref codebook;
  corpus::CompressionPolicy policy;
};

CorpusObject& corpus_of(PyObject* self) { return value_of<CorpusObject>(self); }

// Calls over at least this many floats may run long enough (tens of
// milliseconds) for Ctrl-C to matter, and run interruptibly (gil.hpp).
constexpr std::size_t kLongCallFloats = std::size_t{1} << 20;

// Runs work(core corpus) under the corpus mutex, with the interpreter lock
// held throughout, and returns its result once the mutex is released. `work`
// must not touch any Python object: it copies core values out instead. A
// poisoned mutex raises ValueError "corpus mutex poisoned" (nullopt, or
// false where work returns nothing).
template <class Work>
auto with_corpus(PyObject* self, Work&& work) {
  return corpus_of(self).core.locked(std::forward<Work>(work));
}

// `metadata` is accepted as None (or omitted) and as a dict, which is then
// refused as unsupported once every argument has converted; any other object
// fails conversion (target 'PyDict'). Yields nullptr for None.
std::optional<PyObject*> to_optional_dict(PyObject* object) {
  if (object == Py_None) {
    return static_cast<PyObject*>(nullptr);
  }
  return to_dict(object);
}

constexpr auto kMetadataParameter = or_default(to_optional_dict, static_cast<PyObject*>(nullptr));

PyObject* raise_metadata_unsupported(const char* call) {
  PyErr_Format(PyExc_NotImplementedError,
               "%s(metadata=...) is not yet supported in the pyo3 wheel; pass metadata=None or "
               "omit the kwarg.",
               call);
  return nullptr;
}

// ---- construction -----------------------------------------------------------

constexpr Signature<5> kNewSignature{
    "Corpus.__new__",
    {"corpus_id", "codec_config", "codebook", "compression_policy", "metadata"},
    4};

PyObject* corpus_new(PyTypeObject* type, const Args<5>& args) {
  auto converted = args.convert_all(to_string, to_codec_config, to_codebook, to_compression_policy,
                                    kMetadataParameter);
  if (!converted) {
    return nullptr;
  }
  auto& [corpus_id, config, codebook, policy, metadata] = *converted;
  if (metadata != nullptr) {
    return raise_metadata_unsupported("Corpus");
  }
  // The codebook is not checked against the configuration here: a COMPRESS
  // corpus reports an unfitting codebook at its first insert.
  SharedCorpus core(std::in_place, share_text(std::move(corpus_id)), *config, *codebook, policy);
  return new_instance<CorpusObject>(
      type, CorpusObject{std::move(core), Ref::borrow(args[1]), Ref::borrow(args[2]), policy});
}

// ---- insert -----------------------------------------------------------------

constexpr Signature<3> kInsertSignature{"Corpus.insert", {"vector_id", "vector", "metadata"}, 2};

// Two halves under the corpus mutex. The first encodes and stores the vector
// with the interpreter lock released; the second, back under the interpreter
// lock, reads the stored entry back. In between, another thread may remove
// the new entry, which the second half reports as an error although the
// insert (and its VectorsInserted event) stands.
PyObject* corpus_insert(PyObject* self, const Args<3>& args) {
  auto converted = args.convert_all(to_string, numpy::to_vector, kMetadataParameter);
  if (!converted) {
    return nullptr;
  }
  auto& [vector_id, vector, metadata] = *converted;
  if (metadata != nullptr) {
    return raise_metadata_unsupported("Corpus.insert");
  }
  const auto values = numpy::copy_vector(vector);
  if (!values) {
    return nullptr;
  }

  auto inserted =
      corpus_of(self).core.locked_without_gil([&id = vector_id, &values](CoreCorpus& corpus) {
        return corpus.insert(std::move(id), *values);
      });
  if (!inserted) {
    return nullptr;
  }
  if (!inserted->ok()) {
    return raise_corpus_error(inserted->error());
  }

  // The lock was given up in between, so another thread may have removed it.
  const SharedText inserted_id = inserted->value().vector_id();
  auto entry = with_corpus(self, [&](CoreCorpus& corpus) { return corpus.get(*inserted_id); });
  if (!entry) {
    return nullptr;
  }
  if (!*entry) {
    PyErr_SetString(PyExc_ValueError, "insert succeeded but entry missing");
    return nullptr;
  }
  return new_vector_entry(std::move(**entry));
}

// ---- lookups ----------------------------------------------------------------

constexpr Signature<1> kContainsSignature{"Corpus.contains", {"vector_id"}};
constexpr Signature<1> kGetSignature{"Corpus.get", {"vector_id"}};
constexpr Signature<1> kDecompressSignature{"Corpus.decompress", {"vector_id"}};
constexpr Signature<1> kRemoveSignature{"Corpus.remove", {"vector_id"}};
constexpr Signature<0> kDecompressAllSignature{"Corpus.decompress_all", {}};
constexpr Signature<0> kPendingEventsSignature{"Corpus.pending_events", {}};

// KeyError whose single argument is the id object itself, as for a dict miss.
PyObject* raise_key_error(PyObject* vector_id) {
  PyErr_SetObject(PyExc_KeyError, vector_id);
  return nullptr;
}

PyObject* corpus_contains(PyObject* self, const Args<1>& args) {
  const auto vector_id = args.convert(0, to_string);
  if (!vector_id) {
    return nullptr;
  }
  const auto found =
      with_corpus(self, [&](CoreCorpus& corpus) { return corpus.contains(*vector_id); });
  if (!found) {
    return nullptr;
  }
  return new_python_value(*found);
}

PyObject* corpus_get(PyObject* self, const Args<1>& args) {
  const auto vector_id = args.convert(0, to_string);
  if (!vector_id) {
    return nullptr;
  }
  auto entry = with_corpus(self, [&](CoreCorpus& corpus) { return corpus.get(*vector_id); });
  if (!entry) {
    return nullptr;
  }
  if (!*entry) {
    return raise_key_error(args[0]);
  }
  return new_vector_entry(std::move(**entry));
}

PyObject* corpus_decompress(PyObject* self, const Args<1>& args) {
  const auto vector_id = args.convert(0, to_string);
  if (!vector_id) {
    return nullptr;
  }
  auto decoded =
      with_corpus(self, [&](CoreCorpus& corpus) { return corpus.decompress(*vector_id); });
  if (!decoded) {
    return nullptr;
  }
  if (!decoded->ok()) {
    return raise_corpus_error(decoded->error());
  }
  return numpy::vector_result(std::move(*decoded).value());
}

// The dict is filled in ascending id byte order, so it iterates that way.
// The event is recorded under the same hold of the corpus mutex as the
// decode, so it sits where a serial run would put it, and is withdrawn if
// building the dict then fails (out of memory), so a failed call leaves no
// event. The decode runs under the mutex with the interpreter lock released,
// so other threads run meanwhile and Ctrl-C can end a large one (nothing is
// recorded then). The dict is built after the mutex is released: making
// Python objects may run arbitrary code (a collection's finalizers), which
// must not find the mutex held.
PyObject* corpus_decompress_all(PyObject* self) {
  const SharedCorpus& core = corpus_of(self).core;
  // The size decides whether the decode may take long enough for Ctrl-C to
  // matter; a racing insert or remove only makes the estimate stale.
  const auto floats = core.locked(
      [](CoreCorpus& corpus) { return corpus.vector_count() * corpus.codec_config().dimension(); });
  if (!floats) {
    return nullptr;
  }
  auto decoded = core.locked_interruptible(
      *floats >= kLongCallFloats, [](CoreCorpus& corpus, const StopToken& stop) {
        auto vectors = corpus.decode_all(stop);
        std::uint64_t token = 0;
        if (vectors.ok()) token = corpus.record_decompressed(vectors.value().size());
        return std::pair{std::move(vectors), token};
      });
  if (!decoded) {
    return nullptr;
  }
  auto& [vectors_or_error, token] = *decoded;
  if (!vectors_or_error.ok()) {
    return raise_corpus_error(vectors_or_error.error());
  }
  // Withdraws the event unless the dict reaches the caller.
  struct Withdraw {
    const SharedCorpus& core;
    std::uint64_t token;
    bool delivered = false;
    ~Withdraw() {
      if (delivered || token == 0) {
        return;
      }
      try {
        if (auto access = core.guarded().lock()) {
          (*access)->withdraw_decompressed(token);
        }
      } catch (...) {
      }
    }
  } withdraw{corpus_of(self).core, token};
  std::vector<corpus::DecodedVector> vectors = std::move(vectors_or_error).value();
  Ref result = Ref::steal(PyDict_New());
  if (!result) {
    return nullptr;
  }
  for (corpus::DecodedVector& vector : vectors) {
    Ref key = Ref::steal(new_text(vector.vector_id));
    if (!key) {
      return nullptr;
    }
    Ref values = Ref::steal(numpy::vector_result(std::move(vector.values)));
    if (!values || PyDict_SetItem(result.get(), key.get(), values.get()) < 0) {
      return nullptr;
    }
  }
  withdraw.delivered = true;
  return result.release();
}

// ---- search -----------------------------------------------------------------

constexpr Signature<2> kSearchSignature{"Corpus.search", {"query", "top_k"}};

// Arguments as BruteForceBackend.search: the query (1-D float32, copied)
// and top_k (an int through the index protocol); top_k 0 is refused first,
// then the dimension. Runs under the corpus mutex with the interpreter lock
// released and records no event.
PyObject* corpus_search(PyObject* self, const Args<2>& args) {
  const auto converted = args.convert_all(numpy::to_vector, to_u64);
  if (!converted) {
    return nullptr;
  }
  const auto [query_array, top_k] = *converted;
  const auto query = numpy::copy_vector(query_array);
  if (!query) {
    return nullptr;
  }
  if (top_k == 0) {
    return raise_backend_error(backend::BackendError::invalid_top_k());
  }
  auto found = corpus_of(self).core.locked_without_gil(
      [&query, top_k = top_k](CoreCorpus& corpus) { return corpus.search(*query, top_k); });
  if (!found) {
    return nullptr;
  }
  if (!found->ok()) {
    return raise_corpus_error(found->error());
  }
  return new_list(found->value(), [](backend::SearchResult& result) {
    return new_search_result(std::move(result));
  });
}

// ---- batch insert -----------------------------------------------------------

constexpr Signature<2> kInsertBatchSignature{"Corpus.insert_batch", {"vector_ids", "vectors"}};

// Checks, in order: argument conversions (a sequence of str; a 2-D float32
// array), the matrix layout (C-contiguous), one id per row (ValueError),
// then the core's checks (dimension, duplicate ids, encoding) with the same
// exceptions as insert. The ids and the matrix are copied, and the core
// work runs under the corpus mutex with the interpreter lock released.
PyObject* corpus_insert_batch(PyObject* self, const Args<2>& args) {
  auto converted = args.convert_all(to_string_vector, numpy::to_matrix);
  if (!converted) {
    return nullptr;
  }
  auto& [vector_ids, vectors] = *converted;
  auto matrix = numpy::copy_matrix(vectors);
  if (!matrix) {
    return nullptr;
  }
  if (vector_ids.size() != matrix->rows) {
    PyErr_Format(PyExc_ValueError, "vector_ids has %zu ids but vectors has %zu rows",
                 vector_ids.size(), matrix->rows);
    return nullptr;
  }
  auto inserted = corpus_of(self).core.locked_interruptible(
      matrix->values.size() >= kLongCallFloats,
      [&ids = vector_ids, &matrix](CoreCorpus& corpus, const StopToken& stop) {
        return corpus.insert_batch(std::move(ids), matrix->values, matrix->cols, 0, stop);
      });
  if (!inserted) {
    return nullptr;
  }
  if (!inserted->ok()) {
    return raise_corpus_error(inserted->error());
  }
  Py_RETURN_NONE;
}

PyObject* corpus_remove(PyObject* self, const Args<1>& args) {
  const auto vector_id = args.convert(0, to_string);
  if (!vector_id) {
    return nullptr;
  }
  const auto removed =
      with_corpus(self, [&](CoreCorpus& corpus) { return corpus.remove(*vector_id); });
  if (!removed) {
    return nullptr;
  }
  if (!*removed) {
    return raise_key_error(args[0]);
  }
  Py_RETURN_NONE;
}

// ---- events -----------------------------------------------------------------

// Drained events that have not reached the caller yet. Unless delivered(),
// they go back to the front of the corpus's list when this goes out of scope,
// on an error return or an escaping C++ exception alike, so a failure while
// building the Python objects loses no event.
class UndeliveredEvents {
 public:
  UndeliveredEvents(SharedCorpus core, std::vector<corpus::CorpusEvent> events)
      : core_(std::move(core)), events_(std::move(events)) {}
  UndeliveredEvents(const UndeliveredEvents&) = delete;
  UndeliveredEvents& operator=(const UndeliveredEvents&) = delete;

  ~UndeliveredEvents() {
    if (delivered_ || events_.empty()) {
      return;
    }
    // No Python API here: the pending exception stays as it is. If the
    // corpus was poisoned meanwhile, or putting the events back runs out of
    // memory (which poisons it), there is nowhere to put them.
    try {
      if (auto access = core_.guarded().lock()) {
        (*access)->restore_pending_events(std::move(events_));
      }
    } catch (...) {
    }
  }

  const std::vector<corpus::CorpusEvent>& events() const noexcept { return events_; }
  void delivered() noexcept { delivered_ = true; }

 private:
  SharedCorpus core_;
  std::vector<corpus::CorpusEvent> events_;
  bool delivered_ = false;
};

PyObject* corpus_pending_events(PyObject* self) {
  auto drained = with_corpus(self, [](CoreCorpus& corpus) { return corpus.pending_events(); });
  if (!drained) {
    return nullptr;
  }
  const CorpusObject& object = corpus_of(self);
  UndeliveredEvents pending(object.core, std::move(*drained));
  PyObject* list = new_list(pending.events(), [&object](const corpus::CorpusEvent& event) {
    return new_event_object(event, object.codec_config.get());
  });
  if (list != nullptr) {
    pending.delivered();
  }
  return list;
}

// ---- properties -------------------------------------------------------------

PyObject* get_corpus_id(PyObject* self) {
  const auto id = with_corpus(self, [](CoreCorpus& corpus) { return corpus.corpus_id(); });
  return id ? new_text(*id) : nullptr;
}

PyObject* get_codec_config(PyObject* self) { return Py_NewRef(corpus_of(self).codec_config.get()); }

PyObject* get_codebook(PyObject* self) { return Py_NewRef(corpus_of(self).codebook.get()); }

PyObject* get_compression_policy(PyObject* self) {
  return new_compression_policy(corpus_of(self).policy);
}

PyObject* get_metadata(PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError,
                  "Corpus.metadata is not yet supported in the pyo3 wheel.");
  return nullptr;
}

PyObject* get_vector_count(PyObject* self) {
  const auto count = with_corpus(self, [](CoreCorpus& corpus) { return corpus.vector_count(); });
  return count ? new_python_value(*count) : nullptr;
}

PyObject* get_is_empty(PyObject* self) {
  const auto empty = with_corpus(self, [](CoreCorpus& corpus) { return corpus.is_empty(); });
  return empty ? new_python_value(*empty) : nullptr;
}

PyObject* get_vector_ids(PyObject* self) {
  const auto ids = with_corpus(self, [](CoreCorpus& corpus) { return corpus.vector_ids(); });
  if (!ids) {
    return nullptr;
  }
  // A brand-new frozenset may be filled with PySet_Add before anyone sees it.
  Ref set = Ref::steal(PyFrozenSet_New(nullptr));
  if (!set) {
    return nullptr;
  }
  for (const SharedText& id : *ids) {
    Ref text = Ref::steal(new_text(id));
    if (!text || PySet_Add(set.get(), text.get()) < 0) {
      return nullptr;
    }
  }
  return set.release();
}

// ---- type -------------------------------------------------------------------

// A corpus owns mutable state behind its lock; what it holds can be sent.
constexpr char kNotPicklable[] =
    "a Corpus owns mutable state (entries, id index, pending events) behind a lock; persist "
    "what it holds instead: its codec_config, codebook and VectorEntry objects pickle, and "
    "decompress_all() gives the vectors to insert into a new Corpus";

PyMethodDef methods[] = {
    method<kInsertSignature, corpus_insert>(),
    method<kInsertBatchSignature, corpus_insert_batch>(
        "Insert one vector per id (row i of the 2-D float32 matrix under vector_ids[i]),\n"
        "all or nothing, recording one VectorsInserted event."),
    method<kSearchSignature, corpus_search>(
        "The top_k stored vectors most similar to the query (cosine of the decoded\n"
        "vectors), exactly as a BruteForceBackend holding decompress_all() returns them."),
    method<kContainsSignature, corpus_contains>(),
    method<kGetSignature, corpus_get>(),
    method<kDecompressSignature, corpus_decompress>(),
    noargs<kDecompressAllSignature, corpus_decompress_all>(),
    method<kRemoveSignature, corpus_remove>(),
    noargs<kPendingEventsSignature, corpus_pending_events>(
        "Return and clear the pending event list."),
    refuse_pickling<kNotPicklable>(),
    methods_end(),
};

PyGetSetDef properties[] = {
    property<get_corpus_id>("corpus_id"),
    property<get_codec_config>("codec_config"),
    property<get_codebook>("codebook"),
    property<get_compression_policy>("compression_policy"),
    property<get_metadata>("metadata"),
    property<get_vector_count>("vector_count"),
    property<get_is_empty>("is_empty"),
    property<get_vector_ids>("vector_ids"),
    properties_end(),
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, class_doc<kNewSignature>(
                        "Aggregate root managing a collection of compressed embedding vectors.")),
    slot(Py_tp_new, &constructor<kNewSignature, corpus_new>),
    slot(Py_tp_dealloc, &dealloc_instance<CorpusObject>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.Corpus", instance_size<CorpusObject>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* corpus_type() { return heap_type.get(); }

}  // namespace marrowfin::py
