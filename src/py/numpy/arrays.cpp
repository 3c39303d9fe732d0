#include "py/numpy/arrays.hpp"

#include <cstring>
#include <utility>

#include "py/numpy/array_api.hpp"
#include "py/numpy/slice_container.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/panic.hpp"

namespace marrowfin::py::numpy {

namespace {

constexpr const char kArrayTarget[] = "PyArray<T, D>";
constexpr Py_ssize_t kFloatSize = sizeof(float);

// 1: the object is an ndarray of `ndim` dimensions and float32 elements;
// 0: it is not (nothing raised); -1: NumPy is unavailable (PanicException set).
int is_float32_array(PyObject* object, int ndim) {
  const ArrayApi* api = array_api();
  if (api == nullptr) {
    return -1;
  }
  if (!PyObject_TypeCheck(object, api->ndarray_type) || array_fields(object).nd != ndim) {
    return 0;
  }
  Ref float32 = Ref::steal(api->descr_from_type(kTypeFloat32));
  if (!float32) {
    raise_panic_from_pending("NumPy could not provide the float32 descriptor");
    return -1;
  }
  return api->equiv_types(array_fields(object).descr, float32.get()) != 0 ? 1 : 0;
}

// The type check of argument conversion. The operations repeat it before
// reading: a later argument's conversion (say, an __index__ method) may have
// run Python code that reshaped or re-typed the array in place.
bool check_float32_array(PyObject* object, int ndim) {
  const int kind = is_float32_array(object, ndim);
  if (kind == 0) {
    raise_cannot_convert(object, kArrayTarget);
  }
  return kind == 1;
}

// The fields of a matrix argument about to be read: the type check again,
// then C-contiguous data. nullptr with the exception set otherwise.
const ArrayObjectPrefix* readable_matrix(MatrixArg matrix) {
  if (!check_float32_array(matrix.array, 2)) {
    return nullptr;
  }
  const auto& fields = array_fields(matrix.array);
  if ((fields.flags & kFlagCContiguous) == 0 || fields.data == nullptr) {
    PyErr_SetString(PyExc_ValueError, "input matrix must be C-contiguous float32");
    return nullptr;
  }
  return &fields;
}

// A new NumPy-allocated array of the given element type and shape.
PyObject* new_array(int type_num, int nd, const Py_ssize_t* dims) {
  const ArrayApi* api = array_api();
  if (api == nullptr) {
    return nullptr;
  }
  PyObject* descr = api->descr_from_type(type_num);
  PyObject* array = descr == nullptr ? nullptr
                                     : api->new_from_descr(api->ndarray_type, descr, nd, dims,
                                                           nullptr, nullptr, 0, nullptr);
  if (array == nullptr) {
    return raise_panic_from_pending("Failed to create a NumPy array");
  }
  return array;
}

PyObject* new_copied_array(int type_num, int nd, const Py_ssize_t* dims, const void* bytes,
                           std::size_t size) {
  PyObject* array = new_array(type_num, nd, dims);
  if (array != nullptr && size > 0) {
    std::memcpy(array_fields(array).data, bytes, size);
  }
  return array;
}

}  // namespace

std::optional<VectorArg> to_vector(PyObject* object) {
  if (!check_float32_array(object, 1)) {
    return std::nullopt;
  }
  return VectorArg{object};
}

std::optional<MatrixArg> to_matrix(PyObject* object) {
  if (!check_float32_array(object, 2)) {
    return std::nullopt;
  }
  return MatrixArg{object};
}

std::optional<std::span<const std::byte>> vector_elements(VectorArg vector) {
  if (!check_float32_array(vector.array, 1)) {
    return std::nullopt;
  }
  const auto& fields = array_fields(vector.array);
  const Py_ssize_t length = fields.dimensions[0];
  if (length > 1 && fields.strides[0] != kFloatSize) {
    PyErr_SetString(PyExc_ValueError, "numpy slice unavailable: The given array is not contiguous");
    return std::nullopt;
  }
  return std::span<const std::byte>(reinterpret_cast<const std::byte*>(fields.data),
                                    static_cast<std::size_t>(length) * sizeof(float));
}

std::optional<std::vector<float>> copy_vector(VectorArg vector) {
  const auto elements = vector_elements(vector);
  if (!elements) {
    return std::nullopt;
  }
  // memcpy, not float loads: the data need not be float-aligned.
  std::vector<float> values(elements->size() / sizeof(float));
  if (!values.empty()) {
    std::memcpy(values.data(), elements->data(), elements->size());
  }
  return values;
}

std::optional<MatrixView> view_matrix(MatrixArg matrix) {
  const ArrayObjectPrefix* fields = readable_matrix(matrix);
  if (fields == nullptr) {
    return std::nullopt;
  }
  MatrixView view;
  view.array_ = Ref::borrow(matrix.array);
  view.rows_ = static_cast<std::size_t>(fields->dimensions[0]);
  view.cols_ = static_cast<std::size_t>(fields->dimensions[1]);
  const std::size_t count = view.rows_ * view.cols_;
  if (reinterpret_cast<std::uintptr_t>(fields->data) % alignof(float) == 0) {
    view.values_ = std::span<const float>(reinterpret_cast<const float*>(fields->data), count);
  } else {
    // Reading floats through a misaligned pointer is undefined behaviour;
    // such arrays (e.g. views into a byte buffer at an odd offset) are copied.
    view.aligned_copy_.resize(count);
    if (count > 0) {
      std::memcpy(view.aligned_copy_.data(), fields->data, count * sizeof(float));
    }
    view.values_ = view.aligned_copy_;
  }
  return view;
}

std::optional<MatrixCopy> copy_matrix(MatrixArg matrix) {
  const ArrayObjectPrefix* fields = readable_matrix(matrix);
  if (fields == nullptr) {
    return std::nullopt;
  }
  MatrixCopy copy{static_cast<std::size_t>(fields->dimensions[0]),
                  static_cast<std::size_t>(fields->dimensions[1]),
                  {}};
  copy.values.resize(copy.rows * copy.cols);
  if (!copy.values.empty()) {
    std::memcpy(copy.values.data(), fields->data, copy.values.size() * sizeof(float));
  }
  return copy;
}

PyObject* vector_result(std::vector<float> values) {
  const ArrayApi* api = array_api();
  if (api == nullptr) {
    return nullptr;
  }
  // An empty vector may have no buffer at all; NumPy would then allocate its
  // own memory instead of using the container's.
  if (values.capacity() == 0) {
    values.reserve(1);
  }
  const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
  const Py_ssize_t strides[1] = {kFloatSize};
  Ref container = Ref::steal(new_slice_container(std::move(values)));
  if (!container) {
    return raise_panic_from_pending("Failed to create a NumPy array");
  }
  float* data = slice_container_values(container.get()).data();
  PyObject* descr = api->descr_from_type(kTypeFloat32);
  Ref array =
      Ref::steal(descr == nullptr ? nullptr
                                  : api->new_from_descr(api->ndarray_type, descr, 1, dims, strides,
                                                        data, kFlagWriteable, nullptr));
  if (!array) {
    return raise_panic_from_pending("Failed to create a NumPy array");
  }
  // The array now owns the container (the reference is stolen, even on failure).
  if (api->set_base_object(array.get(), container.release()) < 0) {
    return raise_panic_from_pending("Failed to create a NumPy array");
  }
  return array.release();
}

PyObject* copied_float32_array(std::span<const float> values) {
  const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
  return new_copied_array(kTypeFloat32, 1, dims, values.data(), values.size_bytes());
}

PyObject* copied_uint8_array(std::span<const std::uint8_t> values) {
  const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
  return new_copied_array(kTypeUInt8, 1, dims, values.data(), values.size_bytes());
}

PyObject* new_matrix(std::size_t rows, std::size_t cols, float** data) {
  const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
  PyObject* array = new_array(kTypeFloat32, 2, dims);
  if (array != nullptr) {
    *data = static_cast<float*>(static_cast<void*>(array_fields(array).data));
  }
  return array;
}

}  // namespace marrowfin::py::numpy
