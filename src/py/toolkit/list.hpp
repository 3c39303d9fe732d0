// A Python list built from a C++ range, one new object per item.
#pragma once

#include <iterator>

#include "py/toolkit/python.hpp"
#include "py/toolkit/ref.hpp"

namespace marrowfin::py {

// A new list holding make_item(item) for each item, in order. make_item
// returns a new reference, or nullptr with an exception set, which fails the
// whole list (nullptr, exception set). It may move from the item.
template <class Items, class MakeItem>
PyObject* new_list(Items& items, MakeItem&& make_item) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) {
    return nullptr;
  }
  Py_ssize_t index = 0;
  for (auto& item : items) {
    // PyList_SetItem takes over the reference even when it fails.
    PyObject* object = make_item(item);
    if (object == nullptr || PyList_SetItem(list.get(), index++, object) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

}  // namespace marrowfin::py
