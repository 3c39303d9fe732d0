// Which NumPy arrays the extension accepts and how it returns arrays.
//
// Input arrays are checked in two stages. At argument conversion (to_vector,
// to_matrix, through Args::convert) only the kind is checked: an ndarray or
// subclass with the right number of dimensions and a dtype equivalent to
// native float32; nothing is ever cast. Inside the operation (copy_vector,
// view_matrix, copy_matrix) the memory layout is checked and the data read.
// All of these need the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "py/toolkit/python.hpp"
#include "py/toolkit/ref.hpp"

namespace marrowfin::py::numpy {

// A 1-D float32 array argument (borrowed from the caller for the call).
struct VectorArg {
  PyObject* array;
};

// A 2-D float32 array argument (borrowed from the caller for the call).
struct MatrixArg {
  PyObject* array;
};

// Argument converters. A wrong object, dimension count or dtype is a
// TypeError "'<type name>' object cannot be converted to 'PyArray<T, D>'"
// (a float64 array reports 'ndarray').
std::optional<VectorArg> to_vector(PyObject* object);
std::optional<MatrixArg> to_matrix(PyObject* object);

// The vector's elements copied into an owned buffer (length = the array's
// length). Its elements must be contiguous (stride 4 bytes, or at most one
// element): otherwise ValueError "numpy slice unavailable: The given array is
// not contiguous".
std::optional<std::vector<float>> copy_vector(VectorArg vector);
// The same elements borrowed from the array (valid while it is unchanged),
// after the same checks.
std::optional<std::span<const std::byte>> vector_elements(VectorArg vector);

// Read-only access to a C-contiguous matrix: rows * cols values, row-major.
// The view keeps the array alive, so `values()` may be read with the
// interpreter lock released; the view itself must be destroyed with the lock held.
class MatrixView {
 public:
  MatrixView(MatrixView&&) noexcept = default;
  MatrixView& operator=(MatrixView&&) noexcept = default;
  MatrixView(const MatrixView&) = delete;
  MatrixView& operator=(const MatrixView&) = delete;

  [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
  [[nodiscard]] std::size_t cols() const noexcept { return cols_; }
  // rows * cols values, row-major.
  [[nodiscard]] std::span<const float> values() const noexcept { return values_; }

 private:
  friend std::optional<MatrixView> view_matrix(MatrixArg matrix);
  MatrixView() = default;

  Ref array_;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::span<const float> values_;
  std::vector<float> aligned_copy_;  // only for an array whose data is not float-aligned
};

// The matrix read in place. Not C-contiguous (transposed, Fortran-ordered,
// sliced) or without data: ValueError "input matrix must be C-contiguous float32".
std::optional<MatrixView> view_matrix(MatrixArg matrix);

// The matrix copied into an owned row-major buffer, with the same check.
struct MatrixCopy {
  std::size_t rows;
  std::size_t cols;
  std::vector<float> values;  // rows * cols, row-major
};
std::optional<MatrixCopy> copy_matrix(MatrixArg matrix);

// Result arrays: new references, or nullptr with PanicException set when
// NumPy cannot create the array.

// A writeable 1-D float32 array of values.size() elements that uses the
// buffer itself as its memory (no copy); its base is a PySliceContainer.
PyObject* vector_result(std::vector<float> values);

// New NumPy-allocated 1-D arrays holding a copy of the elements.
PyObject* copied_float32_array(std::span<const float> values);
PyObject* copied_uint8_array(std::span<const std::uint8_t> values);

// A new NumPy-allocated C-ordered float32 array of shape (rows, cols) whose
// rows * cols elements, at *data, are not initialised: the caller fills all of
// them (it may do so with the interpreter lock released, since nobody else
// holds the array yet) before handing the array out.
PyObject* new_matrix(std::size_t rows, std::size_t cols, float** data);

}  // namespace marrowfin::py::numpy
