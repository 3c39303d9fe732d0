#include "py/toolkit/pickling.hpp"

#include <utility>

#include "py/toolkit/ref.hpp"

namespace marrowfin::py {

namespace {

// (callable, args), consuming both; nullptr if either is missing.
PyObject* reduce_pair(Ref callable, Ref args) {
  if (!callable || !args) {
    return nullptr;
  }
  return PyTuple_Pack(2, callable.get(), args.get());
}

PyObject* type_of(PyObject* self) { return reinterpret_cast<PyObject*>(Py_TYPE(self)); }

PyObject* return_self(PyObject* self) { return Py_NewRef(self); }

// METH_O: the memo is not needed, an immutable value being its own copy.
PyObject* deepcopy_self(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

}  // namespace

PyObject* reduce_with_class(PyObject* self, PyObject* args) {
  return reduce_pair(Ref::borrow(type_of(self)), Ref::steal(args));
}

PyObject* reduce_with_class_method(PyObject* self, const char* method, PyObject* args) {
  Ref owned_args = Ref::steal(args);
  return reduce_pair(Ref::steal(PyObject_GetAttrString(type_of(self), method)),
                     std::move(owned_args));
}

PyObject* reduce_to_class_attribute(PyObject* self, const char* name) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) {
    return nullptr;
  }
  Ref getattr = Ref::steal(PyObject_GetAttrString(builtins.get(), "getattr"));
  return reduce_pair(std::move(getattr), Ref::steal(Py_BuildValue("(Os)", type_of(self), name)));
}

PyMethodDef copy_returns_self() noexcept {
  return noargs<return_self>(
      "__copy__", "__copy__($self, /)\n--\n\nReturn the object itself: it is immutable.");
}

PyMethodDef deepcopy_returns_self() noexcept {
  return {"__deepcopy__", &deepcopy_self, METH_O,
          "__deepcopy__($self, memo, /)\n--\n\nReturn the object itself: it is immutable."};
}

namespace detail {

PyObject* raise_not_picklable(PyObject* self, const char* reason) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
  if (!name) {
    return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "%U objects cannot be pickled: %s", name.get(), reason);
  return nullptr;
}

}  // namespace detail

}  // namespace marrowfin::py
