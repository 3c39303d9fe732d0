// Conversions from Python objects to C++ values, shaped for Args::convert:
// each takes a borrowed object and returns std::optional<T>, empty with a
// Python exception set on failure. A wrong type is a TypeError reading
// "'<type name>' object cannot be converted to '<target>'"; other failures
// carry the interpreter's own exception.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "py/toolkit/python.hpp"
#include "py/toolkit/ref.hpp"

namespace marrowfin::py {

// Raises TypeError "'<type of object>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* object, const char* target);
// The same, naming the target type by its __name__.
void raise_cannot_convert(PyObject* object, PyTypeObject* target);

// Integers through __index__. u8 and u32 go through the signed 64-bit
// conversion, so beyond that range the interpreter's OverflowError is raised;
// inside it, a value outside the target's range raises OverflowError
// "out of range integral type conversion attempted". u64 uses the
// interpreter's unsigned conversion and its OverflowError for negative or
// too large values.
std::optional<std::uint8_t> to_u8(PyObject* object);
std::optional<std::uint32_t> to_u32(PyObject* object);
std::optional<std::uint64_t> to_u64(PyObject* object);
// Signed 64-bit, through __index__; the interpreter's OverflowError beyond it.
std::optional<long long> to_i64(PyObject* object);

// True or False, or a NumPy boolean scalar read through its __bool__;
// anything else (0 and 1 included) is refused with target 'PyBool'.
std::optional<bool> to_bool(PyObject* object);

// The interpreter's float conversion (float, int, __float__, __index__).
std::optional<double> to_double(PyObject* object);

// A str (or subclass) as UTF-8 (target 'PyString').
std::optional<std::string> to_string(PyObject* object);
// The same text borrowed from the str object (valid while it lives).
std::optional<std::string_view> to_utf8_view(PyObject* object);

// The bytes of a bytes object (or subclass), borrowed from it (target 'PyBytes').
std::optional<std::span<const std::uint8_t>> to_bytes(PyObject* object);

// A dict (or subclass), borrowed (target 'PyDict').
std::optional<PyObject*> to_dict(PyObject* object);

// An instance of `type` (or a subclass), borrowed; the target named in the
// error is the type's __name__.
std::optional<PyObject*> to_instance(PyObject* object, PyTypeObject* type);

// The iterator over a sequence whose items are to be converted one by one. A
// str is refused with "Can't extract `str` to `Vec`", a non-sequence with
// target 'Sequence'.
Ref sequence_iterator(PyObject* object);

// A sequence (list, tuple, ...; not str) converted item by item with
// `convert_item` (PyObject* -> std::optional<T>), in order; the first failing
// item decides the error.
template <class ConvertItem>
auto to_vector_of(PyObject* object, ConvertItem&& convert_item)
    -> std::optional<std::vector<typename decltype(convert_item(nullptr))::value_type>> {
  using Item = typename decltype(convert_item(nullptr))::value_type;
  Ref iterator = sequence_iterator(object);
  if (!iterator) {
    return std::nullopt;
  }
  std::vector<Item> items;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    auto converted = convert_item(item.get());
    if (!converted) {
      return std::nullopt;
    }
    items.push_back(std::move(*converted));
  }
  if (PyErr_Occurred()) {
    return std::nullopt;
  }
  return items;
}

// A sequence of str (target of an item: 'PyString').
std::optional<std::vector<std::string>> to_string_vector(PyObject* object);

}  // namespace marrowfin::py
