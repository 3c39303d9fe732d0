#include "py/toolkit/convert.hpp"

#include <cstring>
#include <limits>

namespace marrowfin::py {

std::optional<long long> to_i64(PyObject* object) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) {
    return std::nullopt;
  }
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) {
    return std::nullopt;
  }
  return value;
}

namespace {

template <class Unsigned>
std::optional<Unsigned> to_narrow_unsigned(PyObject* object) {
  const auto value = to_i64(object);
  if (!value) {
    return std::nullopt;
  }
  if (*value < 0 ||
      static_cast<unsigned long long>(*value) > std::numeric_limits<Unsigned>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<Unsigned>(*value);
}

// NumPy's boolean scalar type is `numpy.bool_` (NumPy 1.x) or `numpy.bool`
// (NumPy 2.x). It is recognised by name so that NumPy need not be imported.
bool is_numpy_bool(PyObject* object) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

void raise_cannot_convert(PyObject* object, const char* target) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

void raise_cannot_convert(PyObject* object, PyTypeObject* target) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  Ref target_name = Ref::steal(PyType_GetName(target));
  if (!name || !target_name) {
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%U'", name.get(),
               target_name.get());
}

std::optional<std::uint8_t> to_u8(PyObject* object) {
  return to_narrow_unsigned<std::uint8_t>(object);
}

std::optional<std::uint32_t> to_u32(PyObject* object) {
  return to_narrow_unsigned<std::uint32_t>(object);
}

std::optional<std::uint64_t> to_u64(PyObject* object) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) {
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

std::optional<bool> to_bool(PyObject* object) {
  if (object == Py_True || object == Py_False) {
    return object == Py_True;
  }
  if (is_numpy_bool(object)) {
    Ref truth = Ref::steal(PyObject_CallMethod(object, "__bool__", nullptr));
    if (!truth) {
      return std::nullopt;
    }
    if (truth.get() == Py_True || truth.get() == Py_False) {
      return truth.get() == Py_True;
    }
    raise_cannot_convert(truth.get(), "PyBool");
    return std::nullopt;
  }
  raise_cannot_convert(object, "PyBool");
  return std::nullopt;
}

std::optional<double> to_double(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string_view> to_utf8_view(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    return std::nullopt;  // e.g. a lone surrogate: UnicodeEncodeError
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> to_string(PyObject* object) {
  const auto text = to_utf8_view(object);
  if (!text) {
    return std::nullopt;
  }
  return std::string(*text);
}

std::optional<std::span<const std::uint8_t>> to_bytes(PyObject* object) {
  if (!PyBytes_Check(object)) {
    raise_cannot_convert(object, "PyBytes");
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) < 0) {
    return std::nullopt;
  }
  return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                       static_cast<std::size_t>(size));
}

std::optional<PyObject*> to_dict(PyObject* object) {
  if (!PyDict_Check(object)) {
    raise_cannot_convert(object, "PyDict");
    return std::nullopt;
  }
  return object;
}

std::optional<PyObject*> to_instance(PyObject* object, PyTypeObject* type) {
  if (type == nullptr) {
    return std::nullopt;  // the type could not be created; that error is pending
  }
  if (PyObject_TypeCheck(object, type)) {
    return object;
  }
  raise_cannot_convert(object, type);
  return std::nullopt;
}

Ref sequence_iterator(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return Ref();
  }
  if (!PySequence_Check(object)) {
    raise_cannot_convert(object, "Sequence");
    return Ref();
  }
  return Ref::steal(PyObject_GetIter(object));
}

std::optional<std::vector<std::string>> to_string_vector(PyObject* object) {
  return to_vector_of(object, to_string);
}

}  // namespace marrowfin::py
