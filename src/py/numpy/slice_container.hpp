// Python class `PySliceContainer`: the owner of a float32 buffer that a NumPy
// result array uses as its memory without copying. The array holds the
// container as its base object; releasing the array releases the buffer.
#pragma once

#include <vector>

#include "py/toolkit/python.hpp"

namespace marrowfin::py::numpy {

// A new container that takes over `values` (new reference; nullptr with an
// exception set). Its buffer never moves or changes size while it lives.
PyObject* new_slice_container(std::vector<float> values);

// The buffer of an object made by new_slice_container.
std::vector<float>& slice_container_values(PyObject* container);

}  // namespace marrowfin::py::numpy
