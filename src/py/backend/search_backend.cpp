#include "py/backend/search_backend.hpp"

#include "py/toolkit/args.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// No parameters: any argument is a binding error (TypeError) before the
// refusal below.
constexpr Signature<0> kNewSignature{"SearchBackend.__new__", {}};

PyObject* search_backend_new(PyTypeObject*, const Args<0>&) {
  PyErr_SetString(PyExc_ValueError,
                  "SearchBackend is a structural protocol; instantiate a concrete backend like "
                  "BruteForceBackend instead");
  return nullptr;
}

// The docstring has no text signature: the class is never called successfully.
PyType_Slot slots[] = {
    slot(Py_tp_doc,
         "Runtime placeholder for the `SearchBackend` protocol.\n"
         "\n"
         "Python's `typing.Protocol` is a structural type that carries no runtime\n"
         "behavior; instantiation raises to preserve API parity with the reference\n"
         "implementation where `SearchBackend()` is not meaningful either."),
    slot(Py_tp_new, &constructor<kNewSignature, search_backend_new>),
    slot_end(),
};

// No instance ever exists, so the instance layout is the plain object header.
PyType_Spec type_spec = {"marrowfin_rs.SearchBackend", 0, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* search_backend_type() { return heap_type.get(); }

}  // namespace marrowfin::py
