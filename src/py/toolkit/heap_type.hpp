// Creating the extension's heap types and module-level function objects once
// per process, and the slots every class shares.
//
// Every class's PyType_Spec uses tp_name "marrowfin_rs.<Class>" (so __module__ is
// "marrowfin_rs") and kClassFlags: immutable, not subclassable, no __dict__
// (no dict offset is ever declared).
#pragma once

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// A class's type object, created from its PyType_Spec the first time it is needed
// and kept for the life of the process. `finish`, when given, runs once on
// the new type (for example to add class attributes) and returns -1 with an
// exception set on failure.
class HeapType {
 public:
  using Finish = int (*)(PyTypeObject* type);

  constexpr explicit HeapType(PyType_Spec& type_spec, Finish finish = nullptr) noexcept
      : type_spec_(&type_spec), finish_(finish) {}

  // Borrowed reference; nullptr with PanicException set if creation fails
  // (a failure to build a type is a defect, not a usage error).
  PyTypeObject* get();

 private:
  PyType_Spec* type_spec_;
  Finish finish_;
  PyTypeObject* type_ = nullptr;
};

// A module-level function object made from a PyMethodDef once and shared by
// every module that exports it.
class ModuleFunction {
 public:
  constexpr explicit ModuleFunction(PyMethodDef& def) noexcept : def_(&def) {}

  // Borrowed reference; nullptr with PanicException set if creation fails.
  PyObject* get();

 private:
  PyMethodDef* def_;
  PyObject* function_ = nullptr;
};

// tp_new of a class that Python code cannot instantiate: raises TypeError
// "No constructor defined for <Class>". (Leaving tp_new out would give the
// interpreter's "cannot create '...' instances" instead.)
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Stores a class attribute on a type under construction (from a HeapType
// `finish` hook). Immutable types refuse setattr from Python; this writes the
// type's dictionary through the generic path and invalidates the type's
// attribute cache. Returns -1 with an exception set on failure.
int add_class_attribute(PyTypeObject* type, const char* name, PyObject* value);

}  // namespace marrowfin::py
