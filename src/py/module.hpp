// Registration of the extension's classes, functions and exception types in
// `_core` and its submodules (see the export tables in module.cpp). A binding
// file makes its class known by exposing `PyTypeObject* <class>_type()` (or a
// ModuleFunction's get() for a module function); module.cpp lists it once,
// at its place in the table of its submodule.
#pragma once

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// One name a module exports. `object` returns the exported object (borrowed,
// process lifetime, created on first call), or nullptr with PanicException set.
struct Export {
  const char* name;
  PyObject* (*object)();
};

// Adapts a class accessor to Export::object.
template <PyTypeObject* (*Type)()>
PyObject* class_object() {
  return reinterpret_cast<PyObject*>(Type());
}

}  // namespace marrowfin::py
