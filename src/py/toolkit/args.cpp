#include "py/toolkit/args.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "py/toolkit/ref.hpp"

namespace marrowfin::py::detail {

namespace {

using Keyword = std::pair<PyObject*, PyObject*>;  // (name, value), both borrowed

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool raise_too_many_positional(const ParameterList& parameters, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (parameters.required < parameters.count) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 parameters.callable, parameters.required, parameters.count, given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                 parameters.callable, parameters.count, parameters.count == 1 ? "" : "s", given,
                 was);
  }
  return false;
}

// Binding proper, once positional arguments and keywords are laid out. The
// checks run in the interpreter's order for a Python function: keywords,
// then surplus positionals, then missing parameters.
bool bind(const ParameterList& parameters, PyObject* const* positional, Py_ssize_t nargs,
          const std::vector<Keyword>& keywords, PyObject** slots) {
  if (parameters.count == 0) {
    // A callable without parameters reports like a METH_NOARGS builtin.
    if (!keywords.empty()) {
      PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", parameters.callable);
      return false;
    }
    if (nargs > 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", parameters.callable,
                   nargs);
      return false;
    }
    return true;
  }

  const auto count = static_cast<Py_ssize_t>(parameters.count);
  for (Py_ssize_t i = 0; i < nargs && i < count; ++i) {
    slots[i] = positional[i];
  }
  for (const auto& [name, value] : keywords) {
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", parameters.callable);
      return false;
    }
    std::size_t index = 0;
    while (index < parameters.count &&
           PyUnicode_CompareWithASCIIString(name, parameters.names[index]) != 0) {
      ++index;
    }
    if (index == parameters.count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   parameters.callable, name);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   parameters.callable, parameters.names[index]);
      return false;
    }
    slots[index] = value;
  }
  if (nargs > count) {
    return raise_too_many_positional(parameters, nargs);
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (slots[i] == nullptr) {
      missing.push_back(parameters.names[i]);
    }
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 parameters.callable, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_name_list(missing).c_str());
    return false;
  }
  return true;
}

}  // namespace

bool bind_vectorcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
  std::vector<Keyword> keywords;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    if (count < 0) {
      return false;
    }
    keywords.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* name = PyTuple_GetItem(kwnames, i);
      if (name == nullptr) {
        return false;
      }
      // Keyword values follow the positional arguments in the vector.
      keywords.emplace_back(name, args[nargs + i]);
    }
  }
  return bind(parameters, args, nargs, keywords, slots);
}

bool bind_tuple(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) {
    return false;
  }
  std::vector<PyObject*> positional(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    if (positional[static_cast<std::size_t>(i)] == nullptr) {
      return false;
    }
  }
  std::vector<Keyword> keywords;
  if (kwargs != nullptr) {
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      keywords.emplace_back(name, value);
    }
  }
  return bind(parameters, positional.data(), nargs, keywords, slots);
}

std::string text_signature(const ParameterList& parameters, Receiver receiver) {
  const std::string_view callable = parameters.callable;
  const std::size_t dot = callable.rfind('.');
  std::string text;
  if (receiver == Receiver::None && dot != std::string_view::npos &&
      callable.substr(dot + 1) == "__new__") {
    text = callable.substr(0, dot);  // a constructor shows the class name
  } else {
    text = callable.substr(dot == std::string_view::npos ? 0 : dot + 1);
  }
  text += '(';
  bool first = true;
  const auto separate = [&] {
    if (!first) {
      text += ", ";
    }
    first = false;
  };
  if (receiver != Receiver::None) {
    separate();
    text += receiver == Receiver::Self ? "$self" : "$cls";
  }
  for (std::size_t i = 0; i < parameters.count; ++i) {
    separate();
    text += parameters.names[i];
    if (i >= parameters.required) {
      text += '=';
      text += parameters.shown_default;
    }
  }
  text += ")\n--\n\n";
  return text;
}

void attach_argument_name(const char* name) {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return;
  }
  Ref reason = Ref::steal(PyObject_Str(error.get()));
  if (!reason) {
    return;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, reason.get()));
  if (!message) {
    return;
  }
  Ref renamed = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) {
    return;
  }
  // The new error takes over the original's cause, not the original itself.
  PyException_SetCause(renamed.get(), PyException_GetCause(error.get()));
  PyErr_SetRaisedException(renamed.release());
}

}  // namespace marrowfin::py::detail
