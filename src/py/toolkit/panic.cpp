#include "py/toolkit/panic.hpp"

#include "py/toolkit/ref.hpp"

namespace marrowfin::py {

namespace {

constexpr const char kPanicDoc[] =
    "Raised when an internal invariant of the extension fails.\n\n"
    "Derives from BaseException, not Exception: it reports a defect of the\n"
    "extension, not a problem with the arguments of a call.";

PyObject* g_panic_type = nullptr;

}  // namespace

PyTypeObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("marrowfin_rs.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return reinterpret_cast<PyTypeObject*>(g_panic_type);
}

PyObject* raise_panic(const char* message) {
  // Keep the exception that was pending (if any) as the context, the way the
  // interpreter chains an exception raised while another is being handled.
  Ref previous = Ref::steal(PyErr_GetRaisedException());
  PyTypeObject* type = panic_exception_type();
  if (type == nullptr) {
    return nullptr;  // the reason type creation failed is pending instead
  }
  Ref text = Ref::steal(PyUnicode_FromString(message));
  if (!text) {
    return nullptr;
  }
  Ref panic = Ref::steal(
      PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(type), text.get(), nullptr));
  if (!panic) {
    return nullptr;
  }
  if (previous) {
    PyException_SetContext(panic.get(), previous.release());
  }
  PyErr_SetRaisedException(panic.release());
  return nullptr;
}

PyObject* raise_panic_from_pending(const char* message) {
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  raise_panic(message);
  if (cause) {
    Ref panic = Ref::steal(PyErr_GetRaisedException());
    if (panic && PyObject_TypeCheck(panic.get(), panic_exception_type())) {
      PyException_SetCause(panic.get(), cause.release());
    }
    PyErr_SetRaisedException(panic.release());
  }
  return nullptr;
}

namespace detail {

void raise_panic_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("an unknown C++ exception reached the Python boundary");
  }
}

}  // namespace detail

}  // namespace marrowfin::py
