#include "py/toolkit/heap_type.hpp"

#include <string>

#include "py/toolkit/instance.hpp"
#include "py/toolkit/panic.hpp"
#include "py/toolkit/ref.hpp"

namespace marrowfin::py {

PyTypeObject* HeapType::get() {
  if (type_ != nullptr) {
    return type_;
  }
  Ref type = Ref::steal(PyType_FromMetaclass(nullptr, nullptr, type_spec_, nullptr));
  auto* created = reinterpret_cast<PyTypeObject*>(type.get());
  if (!type || (finish_ != nullptr && finish_(created) < 0)) {
    const std::string message = std::string("failed to create the type object ") + type_spec_->name;
    return reinterpret_cast<PyTypeObject*>(raise_panic_from_pending(message.c_str()));
  }
  type_ = reinterpret_cast<PyTypeObject*>(type.release());
  return type_;
}

PyObject* ModuleFunction::get() {
  if (function_ != nullptr) {
    return function_;
  }
  Ref module_name = Ref::steal(PyUnicode_FromString("marrowfin_rs"));
  Ref function;
  if (module_name) {
    function = Ref::steal(PyCFunction_NewEx(def_, nullptr, module_name.get()));
  }
  if (!function) {
    const std::string message =
        std::string("failed to create the function object ") + def_->ml_name;
    return raise_panic_from_pending(message.c_str());
  }
  function_ = function.release();
  return function_;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

int add_class_attribute(PyTypeObject* type, const char* name, PyObject* value) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) {
    return -1;
  }
  if (PyObject_GenericSetAttr(reinterpret_cast<PyObject*>(type), key.get(), value) < 0) {
    return -1;
  }
  PyType_Modified(type);
  return 0;
}

namespace detail {

void free_unconstructed(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DECREF(type);
}

}  // namespace detail

}  // namespace marrowfin::py
