#include "py/numpy/array_api.hpp"

#include "py/toolkit/panic.hpp"
#include "py/toolkit/ref.hpp"

namespace marrowfin::py::numpy {

namespace {

constexpr const char kCapsuleFailure[] = "Failed to access NumPy array API capsule";

// NumPy 2 moved the multiarray module to numpy._core (numpy.core still works
// there, with a deprecation warning); pick the one that matches the version.
Ref multiarray_module() {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) {
    return Ref();
  }
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  Ref numpy_lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!version || !numpy_lib) {
    return Ref();
  }
  Ref parsed = Ref::steal(PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) {
    return Ref();
  }
  Ref major = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) {
    return Ref();
  }
  const long major_version = PyLong_AsLong(major.get());
  if (major_version == -1 && PyErr_Occurred()) {
    return Ref();
  }
  return Ref::steal(PyImport_ImportModule(major_version >= 2 ? "numpy._core.multiarray"
                                                             : "numpy.core.multiarray"));
}

// Reads the table; false with an exception set (or none, for a malformed
// capsule) on failure.
bool load(ArrayApi& api) {
  Ref multiarray = multiarray_module();
  if (!multiarray) {
    return false;
  }
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) {
    return false;
  }
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) {
    return false;
  }
  api.ndarray_type = static_cast<PyTypeObject*>(table[2]);
  api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[45]);
  api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[94]);
  api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[182]);
  api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[282]);
  if (api.ndarray_type == nullptr || api.descr_from_type == nullptr ||
      api.new_from_descr == nullptr || api.equiv_types == nullptr ||
      api.set_base_object == nullptr) {
    return false;
  }
  // The table points into NumPy's multiarray module; keep it (and so the
  // table) alive for the life of the process.
  static_cast<void>(multiarray.release());
  return true;
}

ArrayApi g_api{};
bool g_loaded = false;

}  // namespace

const ArrayApi* array_api() {
  if (g_loaded) {
    return &g_api;
  }
  // Importing NumPy runs Python code and may let another thread in, which may
  // load the table too; both read the same values.
  ArrayApi api{};
  if (!load(api)) {
    raise_panic_from_pending(kCapsuleFailure);
    return nullptr;
  }
  g_api = api;
  g_loaded = true;
  return &g_api;
}

}  // namespace marrowfin::py::numpy
