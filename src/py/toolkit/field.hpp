// Read-only property getters that hand out one field of an instance's value,
// for PyGetSetDef tables:
//
//   property<field<&codec::CodecConfig::seed>>("seed")
//
// `Member` is a data member or an argument-free const member function of the
// value type. The instance is read as Instance<Value>, where Value is the
// class that declares the member unless given (a value type derived from the
// core type names itself: field<&corpus::CorpusCreated::timestamp, Created>).
#pragma once

#include <concepts>
#include <functional>
#include <string>
#include <utility>

#include "core/common/shared.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/python.hpp"
#include "py/toolkit/text.hpp"

namespace marrowfin::py {

// A field as a new Python object: bool, int, float or str.
inline PyObject* new_python_value(bool value) { return PyBool_FromLong(value ? 1 : 0); }

template <std::unsigned_integral T>
PyObject* new_python_value(T value) {
  return PyLong_FromUnsignedLongLong(value);
}

template <std::signed_integral T>
PyObject* new_python_value(T value) {
  return PyLong_FromLongLong(value);
}

template <std::floating_point T>
PyObject* new_python_value(T value) {
  return PyFloat_FromDouble(static_cast<double>(value));
}

inline PyObject* new_python_value(const SharedText& value) { return new_text(value); }

namespace detail {
template <class MemberPointer>
struct MemberOwner;
template <class T, class C>
struct MemberOwner<T C::*> {
  using type = C;
};
}  // namespace detail

template <auto Member, class Value = typename detail::MemberOwner<decltype(Member)>::type>
PyObject* field(PyObject* self) {
  return new_python_value(std::invoke(Member, std::as_const(value_of<Value>(self))));
}

}  // namespace marrowfin::py
