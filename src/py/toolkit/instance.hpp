// The memory layout of every instance of an extension class: the object
// header followed by one C++ value (a core value, or a small struct of the
// fields the class needs). The value is built in place after allocation and
// destroyed in tp_dealloc, so instances may hold shared_ptrs, Refs, strings...
//
//   using CodecConfigObject = Instance<codec::CodecConfig>;
//   {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<codec::CodecConfig>)},
//   PyType_Spec type_spec = {"marrowfin_rs.CodecConfig", instance_size<codec::CodecConfig>, 0,
//   ...};
#pragma once

#include <memory>
#include <new>
#include <utility>

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

template <class T>
struct Instance {
  PyObject_HEAD T value;
};

template <class T>
inline constexpr int instance_size = static_cast<int>(sizeof(Instance<T>));

// The value of an object known to be an instance of a class laid out as Instance<T>.
template <class T>
T& value_of(PyObject* object) noexcept {
  return reinterpret_cast<Instance<T>*>(object)->value;
}

namespace detail {
// Releases an allocated instance whose value was never constructed.
void free_unconstructed(PyObject* object) noexcept;
}  // namespace detail

// Allocates an instance of `type` through its tp_alloc and constructs its
// value from `args`. Returns a new reference, or nullptr with the
// allocation's exception set. An exception from T's constructor propagates
// (to the call boundary) after the memory is released.
template <class T, class... A>
PyObject* new_instance(PyTypeObject* type, A&&... args) {
  if (type == nullptr) {
    return nullptr;  // the type could not be created; that error is pending
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) {
    return nullptr;
  }
  try {
    ::new (static_cast<void*>(&value_of<T>(object))) T(std::forward<A>(args)...);
  } catch (...) {
    detail::free_unconstructed(object);
    throw;
  }
  return object;
}

// tp_dealloc of a class laid out as Instance<T>: destroy the value, free the
// memory through the type's tp_free, then drop the reference every instance
// of a heap type holds on its type.
template <class T>
void dealloc_instance(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(&value_of<T>(object));
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DECREF(type);
}

}  // namespace marrowfin::py
