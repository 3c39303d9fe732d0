// Pickling and copying of the extension's classes.
//
// An immutable value reduces to a reconstructor that pickle can find by name
// (the class itself, one of its class methods, or builtins.getattr for a
// class attribute) and the arguments that rebuild an equal value; copying it
// returns the value itself. A class whose state cannot travel refuses
// pickling with a TypeError that says why and what to do instead.
//
//   PyObject* config_reduce(PyObject* self) {
//     return reduce_with_class(self, Py_BuildValue("(...)", ...));
//   }
//   noargs<config_reduce>("__reduce__", "__reduce__($self, /)\n--\n\n..."),
//   copy_returns_self(), deepcopy_returns_self(),
#pragma once

#include "py/toolkit/python.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

// (type(self), args) for __reduce__. `args` is a new reference to a tuple
// (or nullptr with an exception set) and is consumed. Returns a new
// reference, or nullptr with an exception set.
PyObject* reduce_with_class(PyObject* self, PyObject* args);

// (type(self).<method>, args): a class method of the object's own class,
// which pickle stores as getattr(class, method). `args` is consumed.
PyObject* reduce_with_class_method(PyObject* self, const char* method, PyObject* args);

// (builtins.getattr, (type(self), name)): unpickles to the class attribute
// `name`, the very object every read of that attribute yields.
PyObject* reduce_to_class_attribute(PyObject* self, const char* name);

// __copy__ and __deepcopy__ of an immutable value: the object itself.
PyMethodDef copy_returns_self() noexcept;
PyMethodDef deepcopy_returns_self() noexcept;

namespace detail {
// Raises TypeError "<Class> objects cannot be pickled: <reason>"; returns nullptr.
PyObject* raise_not_picklable(PyObject* self, const char* reason);

template <const char* Reason>
PyObject* refuse_reduce(PyObject* self) {
  return raise_not_picklable(self, Reason);
}
}  // namespace detail

// A __reduce__ that refuses pickling (and with it copy.copy and deepcopy,
// which go through __reduce_ex__) with TypeError
// "<Class> objects cannot be pickled: <Reason>".
template <const char* Reason>
PyMethodDef refuse_pickling() noexcept {
  return noargs<detail::refuse_reduce<Reason>>(
      "__reduce__", "__reduce__($self, /)\n--\n\nRefuse pickling: raises TypeError saying why.");
}

}  // namespace marrowfin::py
