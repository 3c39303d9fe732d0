#include "py/backend/brute_force_backend.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/backend/brute_force_backend.hpp"
#include "py/backend/ingest_batch.hpp"
#include "py/backend/search_result.hpp"
#include "py/errors.hpp"
#include "py/numpy/arrays.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/list.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/shared_state.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// ingest and search (which release the interpreter lock) report a poisoned
// mutex as an invariant failure; remove, clear and count as an ordinary error.
constexpr PoisonMessages kPoisoned{
    "backend mutex poisoned",
    "backend mutex poisoned: a previous operation failed while holding it"};
using State = SharedState<backend::BruteForceBackend, kPoisoned>;

// ---- construction -----------------------------------------------------------

constexpr Signature<0> kNewSignature{"BruteForceBackend.__new__", {}};

PyObject* brute_force_backend_new(PyTypeObject* type, const Args<0>&) {
  return new_instance<State>(type, State(std::in_place));
}

// A search over at least this many stored floats (16 MiB) takes milliseconds.
constexpr std::uint64_t kLongScanFloats = std::uint64_t{1} << 22;

// ---- operations that release the interpreter lock ---------------------------

constexpr Signature<1> kIngestSignature{"BruteForceBackend.ingest", {"vectors"}};

PyObject* ingest(PyObject* self, const Args<1>& args) {
  const auto vectors = args.convert(0, to_dict);
  if (!vectors) {
    return nullptr;
  }
  // Every item is copied before anything is stored, so a bad item stores nothing.
  const auto batch = IngestBatch::copy_from(*vectors);
  if (!batch) {
    return nullptr;
  }
  const std::vector<backend::IngestItem> items = batch->items();
  const auto outcome =
      value_of<State>(self).locked_without_gil([&](auto& core) { return core.ingest(items); });
  if (!outcome) {
    return nullptr;
  }
  if (!outcome->ok()) {
    return raise_backend_error(outcome->error());
  }
  Py_RETURN_NONE;
}

constexpr Signature<2> kSearchSignature{"BruteForceBackend.search", {"query", "top_k"}};

PyObject* search(PyObject* self, const Args<2>& args) {
  const auto converted = args.convert_all(numpy::to_vector, to_u64);
  if (!converted) {
    return nullptr;
  }
  const auto [query_array, top_k] = *converted;
  // Before the core call, so a non-contiguous query is reported even when
  // top_k is 0.
  const auto query = numpy::copy_vector(query_array);
  if (!query) {
    return nullptr;
  }
  // Large stores take long enough for Ctrl-C to matter: the scan then runs
  // interruptibly (a poisoned mutex only makes the estimate 0).
  const State& state = value_of<State>(self);
  const std::uint64_t floats =
      state.guarded()
          .with_lock([](auto& core) { return core.count() * core.dimension().value_or(0); })
          .value_or(0);
  auto outcome = state.locked_interruptible(
      floats >= kLongScanFloats, [&query, top_k = top_k](auto& core, const StopToken& stop) {
        return core.search(*query, top_k, stop);
      });
  if (!outcome) {
    return nullptr;
  }
  if (!outcome->ok()) {
    return raise_backend_error(outcome->error());
  }

  // The results share the stored id texts; the Python objects are built only
  // now that the mutex is released and the interpreter lock held again.
  return new_list(outcome->value(),
                  [](backend::SearchResult& found) { return new_search_result(std::move(found)); });
}

// ---- operations under the interpreter lock ----------------------------------
// They take the mutex only for the core call and call no Python API while
// holding it.

constexpr Signature<1> kRemoveSignature{"BruteForceBackend.remove", {"vector_ids"}};
constexpr Signature<0> kClearSignature{"BruteForceBackend.clear", {}};

PyObject* remove(PyObject* self, const Args<1>& args) {
  // The whole sequence is converted before anything is removed.
  const auto ids = args.convert(0, to_string_vector);
  if (!ids) {
    return nullptr;
  }
  if (!value_of<State>(self).locked([&](auto& core) { core.remove(*ids); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* clear(PyObject* self) {
  if (!value_of<State>(self).locked([](auto& core) { core.clear(); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* get_count(PyObject* self) {
  const auto count = value_of<State>(self).locked([](auto& core) { return core.count(); });
  if (!count) {
    return nullptr;
  }
  return new_python_value(*count);
}

// ---- type -------------------------------------------------------------------

// A backend owns mutable state behind its lock; the vectors it was given can
// be sent instead.
constexpr char kNotPicklable[] =
    "a BruteForceBackend owns mutable state behind a lock; pickle the mapping of ids to float32 "
    "vectors it was given and ingest() it into a new BruteForceBackend";

PyMethodDef methods[] = {
    method<kIngestSignature, ingest>("Ingest a mapping of `vector_id -> 1-D f32 array`."),
    method<kSearchSignature, search>(),
    method<kRemoveSignature, remove>(),
    noargs<kClearSignature, clear>(),
    refuse_pickling<kNotPicklable>(),
    methods_end(),
};

PyGetSetDef properties[] = {
    property<get_count>("count"),
    properties_end(),
};

// No representation, comparison or hash of its own: identity semantics.
PyType_Slot slots[] = {
    slot(Py_tp_doc,
         class_doc<kNewSignature>("Reference search backend: exhaustive cosine similarity.")),
    slot(Py_tp_new, &constructor<kNewSignature, brute_force_backend_new>),
    slot(Py_tp_dealloc, &dealloc_instance<State>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.BruteForceBackend", instance_size<State>, 0, kClassFlags,
                         slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* brute_force_backend_type() { return heap_type.get(); }

}  // namespace marrowfin::py
