#include "py/numpy/slice_container.hpp"

#include <utility>

#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py::numpy {

namespace {

using Buffer = std::vector<float>;

PyType_Slot slots[] = {
    slot(Py_tp_doc, "Owner of the memory of a float32 array returned by the extension."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Buffer>),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.PySliceContainer", instance_size<Buffer>, 0, kClassFlags,
                         slots};

HeapType heap_type{type_spec};

}  // namespace

PyObject* new_slice_container(std::vector<float> values) {
  return new_instance<Buffer>(heap_type.get(), std::move(values));
}

std::vector<float>& slice_container_values(PyObject* container) {
  return value_of<Buffer>(container);
}

}  // namespace marrowfin::py::numpy
