// Python str objects made from UTF-8 texts held by core values (ids, config
// hashes, event details, reprs). Every such text came from a Python str or
// from the extension itself, so it is valid UTF-8; a failure here is an
// allocation failure.
#pragma once

#include <string_view>

#include "core/common/shared.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// A new str holding the UTF-8 text; nullptr with an exception set on failure.
inline PyObject* new_text(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

inline PyObject* new_text(const SharedText& utf8) { return new_text(std::string_view(*utf8)); }

}  // namespace marrowfin::py
