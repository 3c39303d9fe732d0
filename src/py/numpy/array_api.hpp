// NumPy's C array API, reached at run time through the `_ARRAY_API` capsule of
// NumPy's multiarray module; no NumPy header is used at build time. Every
// table slot and struct offset this extension relies on is written down here,
// and only here. They are the same in NumPy 1.x and 2.x.
#pragma once

#include <cstddef>

#include "py/toolkit/python.hpp"

namespace marrowfin::py::numpy {

// Type numbers (NPY_TYPES) and array flags (NPY_ARRAY_*).
inline constexpr int kTypeUInt8 = 2;     // NPY_UBYTE
inline constexpr int kTypeFloat32 = 11;  // NPY_FLOAT
inline constexpr int kFlagCContiguous = 0x0001;
inline constexpr int kFlagWriteable = 0x0400;

// The functions used, with the table slot each comes from.
struct ArrayApi {
  // slot 2: PyArray_Type (the slot holds the type object itself).
  PyTypeObject* ndarray_type;
  // slot 45: PyArray_DescrFromType; returns a new reference.
  PyObject* (*descr_from_type)(int type_num);
  // slot 94: PyArray_NewFromDescr; steals `descr`, even on failure. With
  // data == nullptr NumPy allocates (C order when strides == nullptr).
  PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd,
                              const Py_ssize_t* dims, const Py_ssize_t* strides, void* data,
                              int flags, PyObject* obj);
  // slot 182: PyArray_EquivTypes (npy_bool result).
  unsigned char (*equiv_types)(PyObject* descr1, PyObject* descr2);
  // slot 282: PyArray_SetBaseObject; steals `base`, even on failure.
  int (*set_base_object)(PyObject* array, PyObject* base);
};

// The API table, located on first use (importing NumPy then) and kept for the
// life of the process. nullptr with PanicException "Failed to access NumPy
// array API capsule" when NumPy cannot be imported or the capsule is unusable.
const ArrayApi* array_api();

// The leading fields of NumPy's PyArrayObject, identical in NumPy 1.x and 2.x.
// Later fields differ between versions, so the real object size is never
// assumed; only these fields are read, at these offsets.
struct ArrayObjectPrefix {
  PyObject_HEAD char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};
static_assert(sizeof(void*) == 8, "the NumPy field offsets below are those of 64-bit builds");
static_assert(offsetof(ArrayObjectPrefix, data) == 16);
static_assert(offsetof(ArrayObjectPrefix, nd) == 24);
static_assert(offsetof(ArrayObjectPrefix, dimensions) == 32);
static_assert(offsetof(ArrayObjectPrefix, strides) == 40);
static_assert(offsetof(ArrayObjectPrefix, base) == 48);
static_assert(offsetof(ArrayObjectPrefix, descr) == 56);
static_assert(offsetof(ArrayObjectPrefix, flags) == 64);

// The fields of an object known to be an ndarray.
inline const ArrayObjectPrefix& array_fields(PyObject* array) noexcept {
  return *reinterpret_cast<const ArrayObjectPrefix*>(array);
}

}  // namespace marrowfin::py::numpy
