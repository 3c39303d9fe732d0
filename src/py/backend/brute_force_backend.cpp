#include "py/backend/brute_force_backend.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/backend/brute_force_backend.hpp"
#include "core/common/guarded.hpp"
#include "py/backend/ingest_batch.hpp"
#include "py/backend/search_result.hpp"
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
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// An instance holds one reference to the shared state. Operations that
// release the interpreter lock copy this pointer first, so the state outlives
// the Python object if it is collected while they run.
using State = std::shared_ptr<Guarded<backend::BruteForceBackend>>;

// ingest and search find a poisoned lock only after a previous operation
// failed inside the core, which bad input never causes: an invariant failure.
constexpr const char kPoisonedPanic[] =
    "backend mutex poisoned: a previous operation failed while holding it";
// remove, clear and count report it as an ordinary error.
constexpr const char kPoisoned[] = "backend mutex poisoned";

PyObject* raise_poisoned() {
  PyErr_SetString(PyExc_ValueError, kPoisoned);
  return nullptr;
}

// ---- construction -----------------------------------------------------------

constexpr Signature<0> kNewSignature{"BruteForceBackend.__new__", {}};

PyObject* brute_force_backend_new(PyTypeObject* type, const Args<0>&) {
  return new_instance<State>(type, std::make_shared<Guarded<backend::BruteForceBackend>>());
}

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
  const State state = value_of<State>(self);

  // nullopt: the lock was poisoned.
  const auto outcome = without_gil([&] { return state->with_lock([&](auto& core) { return core.ingest(items); }); });
  if (!outcome) {
    return raise_panic(kPoisonedPanic);
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
  const State state = value_of<State>(self);

  auto outcome = without_gil([&state, &query, top_k = top_k] {
    return state->with_lock([&](auto& core) { return core.search(*query, top_k); });
  });
  if (!outcome) {
    return raise_panic(kPoisonedPanic);
  }
  if (!outcome->ok()) {
    return raise_backend_error(outcome->error());
  }

  // The results share the stored id texts; the Python objects are built only
  // now that the mutex is released and the interpreter lock held again.
  return new_list(outcome->value(), [](backend::SearchResult& found) {
    return new_search_result(std::move(found));
  });
}

// ---- operations under the interpreter lock ----------------------------------
// They take the mutex only for the core call and call no Python API while
// holding it.

constexpr Signature<1> kRemoveSignature{"BruteForceBackend.remove", {"vector_ids"}};

PyObject* remove(PyObject* self, const Args<1>& args) {
  // The whole sequence is converted before anything is removed.
  const auto ids = args.convert(0, to_string_vector);
  if (!ids) {
    return nullptr;
  }
  if (!value_of<State>(self)->with_lock([&](auto& core) { core.remove(*ids); })) {
    return raise_poisoned();
  }
  Py_RETURN_NONE;
}

PyObject* clear(PyObject* self) {
  if (!value_of<State>(self)->with_lock([](auto& core) { core.clear(); })) {
    return raise_poisoned();
  }
  Py_RETURN_NONE;
}

PyObject* get_count(PyObject* self) {
  const auto count = value_of<State>(self)->with_lock([](auto& core) { return core.count(); });
  if (!count) {
    return raise_poisoned();
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
    method<kIngestSignature, ingest>(
        "ingest", "ingest($self, vectors)\n--\n\nIngest a mapping of `vector_id -> 1-D f32 array`."),
    method<kSearchSignature, search>("search", "search($self, query, top_k)\n--\n\n"),
    method<kRemoveSignature, remove>("remove", "remove($self, vector_ids)\n--\n\n"),
    noargs<clear>("clear", "clear($self)\n--\n\n"),
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
         "BruteForceBackend()\n--\n\n"
         "Reference search backend: exhaustive cosine similarity."),
    slot(Py_tp_new, &constructor<kNewSignature, brute_force_backend_new>),
    slot(Py_tp_dealloc, &dealloc_instance<State>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.BruteForceBackend", instance_size<State>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* brute_force_backend_type() { return heap_type.get(); }

}  // namespace marrowfin::py
