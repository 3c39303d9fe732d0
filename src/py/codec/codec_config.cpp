#include "py/codec/codec_config.hpp"

#include <string>
#include <utility>

#include "py/errors.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/field.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/pickling.hpp"
#include "py/toolkit/text.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// An instance is the object header followed by the core value; the config
// hash string inside it is shared, not copied, with every record made from it.
using Config = codec::CodecConfig;

// ---- construction -----------------------------------------------------------

constexpr Signature<4> kNewSignature{
    "CodecConfig.__new__", {"bit_width", "seed", "dimension", "residual_enabled"}, 3, "True"};

// Arguments convert in parameter order and the first failure is reported;
// only then does the core validate the values (bit width, then dimension).
PyObject* codec_config_new(PyTypeObject* type, const Args<4>& args) {
  const auto converted = args.convert_all(to_u8, to_u64, to_u32, or_default(to_bool, true));
  if (!converted) {
    return nullptr;
  }
  const auto [bit_width, seed, dimension, residual_enabled] = *converted;
  auto config = Config::create(bit_width, seed, dimension, residual_enabled);
  if (!config) {
    return raise_codec_error(config.error());
  }
  return new_instance<Config>(type, std::move(config).value());
}

// ---- representation ---------------------------------------------------------

// Unlike the hashed canonical text, the repr has a blank after each comma.
PyObject* codec_config_repr(PyObject* self) {
  const Config& config = value_of<Config>(self);
  const std::string text = "CodecConfig(bit_width=" + std::to_string(config.bit_width()) +
                           ", seed=" + std::to_string(config.seed()) +
                           ", dimension=" + std::to_string(config.dimension()) +
                           ", residual_enabled=" + (config.residual_enabled() ? "True" : "False") +
                           ")";
  return new_text(text);
}

// ---- pickling ---------------------------------------------------------------

// Rebuilt by the constructor from its four fields, which recomputes the same
// config hash.
PyObject* codec_config_reduce(PyObject* self) {
  const Config& config = value_of<Config>(self);
  return reduce_with_class(self, Py_BuildValue("(iKIO)", int{config.bit_width()},
                                               static_cast<unsigned long long>(config.seed()),
                                               static_cast<unsigned int>(config.dimension()),
                                               config.residual_enabled() ? Py_True : Py_False));
}

// ---- type -------------------------------------------------------------------

PyMethodDef methods[] = {
    noargs<kReduceSignature, codec_config_reduce>(
        "Pickle support: (CodecConfig, (bit_width, seed, dimension, residual_enabled))."),
    copy_returns_self(),
    deepcopy_returns_self(),
    methods_end(),
};

// Read-only properties.
PyGetSetDef properties[] = {
    property<field<&Config::bit_width>>("bit_width"),
    property<field<&Config::seed>>("seed"),
    property<field<&Config::dimension>>("dimension"),
    property<field<&Config::residual_enabled>>("residual_enabled"),
    property<field<&Config::num_codebook_entries>>("num_codebook_entries"),
    property<field<&Config::config_hash>>("config_hash"),
    properties_end(),
};

// No rich comparison and no hash: equality and hashing are by identity.
PyType_Slot slots[] = {
    slot(Py_tp_doc,
         class_doc<kNewSignature>("Immutable value object describing codec parameters.")),
    slot(Py_tp_new, &constructor<kNewSignature, codec_config_new>),
    slot(Py_tp_dealloc, &dealloc_instance<Config>),
    slot(Py_tp_repr, &unary<codec_config_repr>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec type_spec = {"marrowfin_rs.CodecConfig", instance_size<Config>, 0, kClassFlags, slots};

HeapType heap_type{type_spec};

}  // namespace

PyTypeObject* codec_config_type() { return heap_type.get(); }

std::optional<const codec::CodecConfig*> to_codec_config(PyObject* object) {
  if (!to_instance(object, codec_config_type())) {
    return std::nullopt;
  }
  return &value_of<Config>(object);
}

}  // namespace marrowfin::py
