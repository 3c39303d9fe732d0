// The one way binding files include the interpreter's headers: the size-type
// convention must be fixed before <Python.h>, and the stable-ABI level
// (Py_LIMITED_API) comes from the build so nothing here can widen it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 != 0x030C0000
#error "the extension is built against the stable ABI of Python 3.12 (Py_LIMITED_API=0x030C0000)"
#endif
