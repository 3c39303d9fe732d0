// Getters for the fields every event class has. `Event` is the value an
// event object holds; it has the core event's `corpus_id` and `timestamp`.
#pragma once

#include "py/corpus/text.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

template <class Event>
PyObject* event_corpus_id(PyObject* self) {
  return new_text(value_of<Event>(self).corpus_id);
}

template <class Event>
PyObject* event_timestamp(PyObject* self) {
  return PyLong_FromLongLong(value_of<Event>(self).timestamp);
}

}  // namespace marrowfin::py
