#include "py/backend/search_result.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/common/shared.hpp"
#include "py/backend/quoted_id.hpp"
#include "py/backend/score_text.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/ref.hpp"
#include "py/toolkit/text.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// An instance is the core result itself, so results built from a search
// share the backend's id text instead of copying it.
using Value = backend::SearchResult;

// ---- construction -----------------------------------------------------------

// A binary64 rounded to the nearest float32 (ties to even), overflowing to
// infinity the way IEEE 754 conversion does. A plain cast is undefined
// behaviour in C++ for finite values beyond the float32 range.
float round_to_float32(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  // Halfway between FLT_MAX and 2^128: from here on (ties go to the even
  // neighbour, 2^128) the nearest float32 is infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::isfinite(value) && std::fabs(value) > kMax) {
    const float magnitude = std::fabs(value) >= kOverflow ? std::numeric_limits<float>::infinity()
                                                          : std::numeric_limits<float>::max();
    return value > 0 ? magnitude : -magnitude;
  }
  return static_cast<float>(value);
}

constexpr Signature<2> kNewSignature{"SearchResult.__new__", {"vector_id", "score"}};

PyObject* search_result_new(PyTypeObject* type, const Args<2>& args) {
  auto converted = args.convert_all(to_string, to_double);
  if (!converted) {
    return nullptr;
  }
  auto& [vector_id, score] = *converted;
  return new_instance<Value>(type,
                             Value{share_text(std::move(vector_id)), round_to_float32(score)});
}

// ---- representation ---------------------------------------------------------

PyObject* search_result_repr(PyObject* self) {
  const Value& result = value_of<Value>(self);
  const auto quoted = quoted_id(*result.vector_id);
  if (!quoted) {
    return nullptr;
  }
  const std::string text =
      "SearchResult(vector_id=" + *quoted + ", score=" + format_score(result.score) + ")";
  return new_text(text);
}

// ---- comparison -------------------------------------------------------------

// Only "<" is defined, as "ranks before" (a higher score); the interpreter
// derives ">" by reflection. "!=" is the negation of "==", which (no "=="
// being defined) is identity; "<=", ">=" and foreign operands are refused.
PyObject* search_result_richcompare(PyObject* self, PyObject* other, int op) {
  PyTypeObject* type = search_result_type();
  if (type == nullptr) {
    return nullptr;
  }
  if (op == Py_NE) {
    const int equal = PyObject_RichCompareBool(self, other, Py_EQ);
    if (equal < 0) {
      return nullptr;
    }
    return PyBool_FromLong(equal == 0 ? 1 : 0);
  }
  if (op != Py_LT || !PyObject_TypeCheck(self, type) || !PyObject_TypeCheck(other, type)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return PyBool_FromLong(value_of<Value>(self).score > value_of<Value>(other).score ? 1 : 0);
}

// ---- pickling ---------------------------------------------------------------

// The constructor rounds the score to float32 again, which gives back the
// stored float32 exactly.
PyObject* search_result_reduce(PyObject* self) {
  const Value& result = value_of<Value>(self);
  Ref vector_id = Ref::steal(new_text(result.vector_id));
  if (!vector_id) {
    return nullptr;
  }
  return reduce_with_class(
      self, Py_BuildValue("(Od)", vector_id.get(), static_cast<double>(result.score)));
}

PyMethodDef methods[] = {
    noargs<kReduceSignature, search_result_reduce>(
        "Pickle support: (SearchResult, (vector_id, score))."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

// ---- type -------------------------------------------------------------------

// Read-only properties.
PyGetSetDef properties[] = {
    property<field<&Value::vector_id>>("vector_id"),
    property<field<&Value::score>>("score"),
    properties_end(),
};

// A rich comparison without a hash: instances are unhashable.
PyType_Slot slots[] = {
    slot(Py_tp_doc,
         class_doc<kNewSignature>(
             "Immutable (vector_id, score) pair returned by `BruteForceBackend.search`.")),
    slot(Py_tp_new, &constructor<kNewSignature, search_result_new>),
    slot(Py_tp_dealloc, &dealloc_instance<Value>),
    slot(Py_tp_repr, &unary<search_result_repr>),
    slot(Py_tp_richcompare, &richcompare<search_result_richcompare>),
    slot(Py_tp_hash, &PyObject_HashNotImplemented),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.SearchResult", instance_size<Value>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* search_result_type() { return heap_type.get(); }

PyObject* new_search_result(backend::SearchResult result) {
  return new_instance<Value>(search_result_type(), std::move(result));
}

}  // namespace marrowfin::py
