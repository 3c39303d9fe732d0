#include "py/corpus/compression_policy.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "core/common/siphash.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/ref.hpp"
#include "py/toolkit/text.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

using Policy = corpus::CompressionPolicy;

constexpr std::array<Policy, 3> kMembers = {Policy::COMPRESS, Policy::PASSTHROUGH, Policy::FP16};

Policy policy_of(PyObject* self) { return value_of<Policy>(self); }

// ---- representation and conversion ------------------------------------------

PyObject* policy_repr(PyObject* self) {
  const std::string repr = "CompressionPolicy." + std::string(corpus::policy_name(policy_of(self)));
  return new_text(repr);
}

PyObject* policy_int(PyObject* self) { return PyLong_FromLong(corpus::ordinal(policy_of(self))); }

// ---- equality and hash ------------------------------------------------------

// Another policy compares by ordinal, anything PyLong_AsLong accepts (int,
// bool, objects with __index__) by value. For everything else NotImplemented
// lets the interpreter fall back to identity, so a policy never equals its
// own value text.
PyObject* policy_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  long other_ordinal = 0;
  if (PyObject_TypeCheck(other, compression_policy_type())) {
    other_ordinal = corpus::ordinal(policy_of(other));
  } else {
    other_ordinal = PyLong_AsLong(other);
    if (other_ordinal == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
  }
  const bool equal = other_ordinal == corpus::ordinal(policy_of(self));
  return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

// A hash that does not depend on the process's hash seed: SipHash-1-3 with a
// zero key over the ordinal as 8 little-endian bytes. (So an integer equal to
// a member does not share its hash.)
Py_hash_t policy_hash(PyObject* self) {
  const std::uint64_t ordinal = corpus::ordinal(policy_of(self));
  std::array<std::uint8_t, 8> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(ordinal >> (8 * i));
  }
  const auto hash = static_cast<Py_hash_t>(siphash13(0, 0, bytes));
  return hash == -1 ? -2 : hash;  // -1 is the slot's error value
}

// ---- methods and properties -------------------------------------------------

constexpr Signature<0> kRequiresCodecSignature{"CompressionPolicy.requires_codec", {}};

PyObject* requires_codec(PyObject* self) {
  return PyBool_FromLong(corpus::requires_codec(policy_of(self)) ? 1 : 0);
}

PyObject* get_value(PyObject* self) { return new_text(corpus::policy_value(policy_of(self))); }

PyObject* get_name(PyObject* self) { return new_text(corpus::policy_name(policy_of(self))); }

// ---- pickling ---------------------------------------------------------------

// Unpickles to the class attribute of the same name: the member itself, even
// for a policy object that is only equal to it (Corpus.compression_policy).
PyObject* policy_reduce(PyObject* self) {
  const std::string name(corpus::policy_name(policy_of(self)));
  return reduce_to_class_attribute(self, name.c_str());
}

// ---- type -------------------------------------------------------------------

PyMethodDef methods[] = {
    noargs<kRequiresCodecSignature, requires_codec>("True only for `COMPRESS`."),
    noargs<kReduceSignature, policy_reduce>(
        "Pickle support: unpickles to the member itself, e.g. CompressionPolicy.COMPRESS."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

PyGetSetDef properties[] = {
    property<get_value>("value"),
    property<get_name>("name"),
    properties_end(),
};

PyType_Slot slots[] = {
    // The dash is U+2014 (EM DASH), spelled out as its UTF-8 bytes.
    slot(Py_tp_doc, "Immutable compression policy enum \u2014 Python-parity names."),
    slot(Py_tp_new, &no_constructor),
    slot(Py_tp_dealloc, &dealloc_instance<Policy>),
    slot(Py_tp_repr, &unary<policy_repr>),
    slot(Py_tp_str, &unary<policy_repr>),
    slot(Py_nb_int, &unary<policy_int>),
    slot(Py_tp_richcompare, &richcompare<policy_richcompare>),
    slot(Py_tp_hash, &hash_slot<policy_hash>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.CompressionPolicy", instance_size<Policy>, 0, kClassFlags,
                         slots};

// The members are made once, with the class, so every read of
// CompressionPolicy.COMPRESS yields the same object.
int add_members(PyTypeObject* type) {
  return call_boundary([type]() -> int {
    for (const Policy member : kMembers) {
      Ref object = Ref::steal(new_instance<Policy>(type, member));
      const std::string name(corpus::policy_name(member));
      if (!object || add_class_attribute(type, name.c_str(), object.get()) < 0) {
        return -1;
      }
    }
    return 0;
  });
}

HeapType heap_type{type_spec, add_members};

}  // namespace

PyTypeObject* compression_policy_type() { return heap_type.get(); }

PyObject* new_compression_policy(corpus::CompressionPolicy policy) {
  return new_instance<Policy>(compression_policy_type(), policy);
}

std::optional<corpus::CompressionPolicy> to_compression_policy(PyObject* object) {
  if (!to_instance(object, compression_policy_type())) {
    return std::nullopt;
  }
  return policy_of(object);
}

}  // namespace marrowfin::py
