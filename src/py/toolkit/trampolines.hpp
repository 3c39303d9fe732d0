// Entries for PyMethodDef, PyGetSetDef and PyType_Slot tables, generated from
// plain C++ bodies. Each generated function binds the arguments against the
// body's Signature and runs the body through call_boundary(), so no C++
// exception ever reaches the interpreter.
//
// Bodies follow the C API convention: return a new reference, or nullptr
// with a Python exception set (int/Py_hash_t slots: -1).
//
//   constructor  PyObject* body(PyTypeObject* type, const Args<N>& args)
//   method       PyObject* body(PyObject* self, const Args<N>& args)
//   class_method PyObject* body(PyObject* cls, const Args<N>& args)
//   function     PyObject* body(const Args<N>& args)          (module level)
//   noargs       PyObject* body(PyObject* self)               (method without parameters)
//   property     PyObject* body(PyObject* self)               (read-only getter)
//   unary        PyObject* body(PyObject* self)               (tp_repr, tp_str, nb_int, ...)
//   richcompare  PyObject* body(PyObject* self, PyObject* other, int op)
//   hash_slot    Py_hash_t body(PyObject* self)
#pragma once

#include <string>

#include "py/toolkit/args.hpp"
#include "py/toolkit/panic.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

namespace detail {

template <const auto& Sig, auto Body>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return call_boundary([&]() -> PyObject* {
    const auto bound = Sig.bind(args, nargs, kwnames);
    if (!bound) {
      return nullptr;
    }
    return Body(self, *bound);
  });
}

template <const auto& Sig, auto Body>
PyObject* fastcall_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return call_boundary([&]() -> PyObject* {
    const auto bound = Sig.bind(args, nargs, kwnames);
    if (!bound) {
      return nullptr;
    }
    return Body(*bound);
  });
}

template <auto Body>
PyObject* noargs_method(PyObject* self, PyObject*) noexcept {
  return call_boundary([&]() -> PyObject* { return Body(self); });
}

template <auto Body>
PyObject* property_getter(PyObject* self, void*) noexcept {
  return call_boundary([&]() -> PyObject* { return Body(self); });
}

// Casts a METH_FASTCALL function to the PyCFunction type that PyMethodDef
// stores, the way the interpreter's own _PyCFunction_CAST does.
template <class F>
PyCFunction as_cfunction(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The docstring of one table entry: Sig's text signature, then doc. Built
// once, while the tables are initialised, and kept for the process lifetime
// as the interpreter expects of a PyMethodDef's or PyType_Slot's text.
template <const auto& Sig, auto Body, Receiver R>
const char* docstring(const char* doc) {
  static const std::string text = Sig.text_signature(R) + doc;
  return text.c_str();
}

}  // namespace detail

// tp_new from a Signature and a body.
template <const auto& Sig, auto Body>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_boundary([&]() -> PyObject* {
    const auto bound = Sig.bind(args, kwargs);
    if (!bound) {
      return nullptr;
    }
    return Body(type, *bound);
  });
}

template <auto Body>
PyObject* unary(PyObject* self) noexcept {
  return call_boundary([&]() -> PyObject* { return Body(self); });
}

template <auto Body>
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return call_boundary([&]() -> PyObject* { return Body(self, other, op); });
}

template <auto Body>
Py_hash_t hash_slot(PyObject* self) noexcept {
  return call_boundary([&]() -> Py_hash_t { return Body(self); });
}

// A PyType_Slot entry: slot(Py_tp_repr, &unary<codec_config_repr>).
template <class F>
PyType_Slot slot(int id, F* function) noexcept {
  return {id, reinterpret_cast<void*>(function)};
}
inline PyType_Slot slot(int id, const char* text) noexcept { return {id, const_cast<char*>(text)}; }
inline PyType_Slot slot_end() noexcept { return {0, nullptr}; }

// PyMethodDef entries. The entry's name and the head of its docstring, the
// text signature ("name($self, a, b=None)\n--\n\n"; class methods "$cls",
// module functions no receiver), both come from the Signature; `doc` is the
// text after that head.
template <const auto& Sig, auto Body>
PyMethodDef method(const char* doc = "") {
  return {Sig.method_name(), detail::as_cfunction(&detail::fastcall_method<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS, detail::docstring<Sig, Body, Receiver::Self>(doc)};
}

template <const auto& Sig, auto Body>
PyMethodDef class_method(const char* doc = "") {
  return {Sig.method_name(), detail::as_cfunction(&detail::fastcall_method<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
          detail::docstring<Sig, Body, Receiver::Cls>(doc)};
}

// A method without parameters (Sig is a Signature<0>); the interpreter itself
// reports surplus arguments ("Class.method() takes no arguments (1 given)").
template <const auto& Sig, auto Body>
PyMethodDef noargs(const char* doc = "") {
  static_assert(std::tuple_size_v<decltype(Sig.names)> == 0, "noargs takes a Signature<0>");
  return {Sig.method_name(), detail::as_cfunction(&detail::noargs_method<Body>), METH_NOARGS,
          detail::docstring<Sig, Body, Receiver::Self>(doc)};
}

// A module-level function.
template <const auto& Sig, auto Body>
PyMethodDef function(const char* doc = "") {
  return {Sig.method_name(), detail::as_cfunction(&detail::fastcall_function<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS, detail::docstring<Sig, Body, Receiver::None>(doc)};
}

// A class docstring headed by its constructor's text signature,
// "Class(a, b=None)\n--\n\n" from Sig ("Class.__new__"): slot(Py_tp_doc,
// class_doc<kNewSignature>("Immutable ...")).
template <const auto& Sig>
const char* class_doc(const char* doc) {
  return detail::docstring<Sig, nullptr, Receiver::None>(doc);
}

inline PyMethodDef methods_end() noexcept { return {nullptr, nullptr, 0, nullptr}; }

// A read-only property (no setter: assignment raises AttributeError).
template <auto Body>
PyGetSetDef property(const char* name, const char* doc = nullptr) noexcept {
  return {name, &detail::property_getter<Body>, nullptr, doc, nullptr};
}

inline PyGetSetDef properties_end() noexcept {
  return {nullptr, nullptr, nullptr, nullptr, nullptr};
}

}  // namespace marrowfin::py
