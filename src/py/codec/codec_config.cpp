#include "py/codec/codec_config.hpp"

#include <string>
#include <utility>

#include "py/errors.hpp"
#include "py/toolkit/args.hpp"
#include "py/toolkit/convert.hpp"
#include "py/toolkit/heap_type.hpp"
#include "py/toolkit/instance.hpp"
#include "py/toolkit/trampolines.hpp"

namespace marrowfin::py {

namespace {

// An instance is the object header followed by the core value; the config
// hash string inside it is shared, not copied, with every record made from it.
using Config = codec::CodecConfig;

// ---- construction -----------------------------------------------------------

constexpr Signature<4> kNewSignature{
    "CodecConfig.__new__", {"bit_width", "seed", "dimension", "residual_enabled"}, 3};

// Arguments convert in parameter order and the first failure is reported;
// only then does the core validate the values (bit width, then dimension).
PyObject* codec_config_new(PyTypeObject* type, const Args<4>& args) {
  const auto bit_width = args.convert(0, to_u8);
  if (!bit_width) {
    return nullptr;
  }
  const auto seed = args.convert(1, to_u64);
  if (!seed) {
    return nullptr;
  }
  const auto dimension = args.convert(2, to_u32);
  if (!dimension) {
    return nullptr;
  }
  const auto residual_enabled = args.convert_or(3, to_bool, true);
  if (!residual_enabled) {
    return nullptr;
  }
  auto config = Config::create(*bit_width, *seed, *dimension, *residual_enabled);
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
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- read-only properties ---------------------------------------------------

PyObject* get_bit_width(PyObject* self) {
  return PyLong_FromUnsignedLong(value_of<Config>(self).bit_width());
}

PyObject* get_seed(PyObject* self) {
  return PyLong_FromUnsignedLongLong(value_of<Config>(self).seed());
}

PyObject* get_dimension(PyObject* self) {
  return PyLong_FromUnsignedLong(value_of<Config>(self).dimension());
}

PyObject* get_residual_enabled(PyObject* self) {
  return PyBool_FromLong(value_of<Config>(self).residual_enabled() ? 1 : 0);
}

PyObject* get_num_codebook_entries(PyObject* self) {
  return PyLong_FromUnsignedLong(value_of<Config>(self).num_codebook_entries());
}

PyObject* get_config_hash(PyObject* self) {
  const std::string& hash = *value_of<Config>(self).config_hash();
  return PyUnicode_FromStringAndSize(hash.data(), static_cast<Py_ssize_t>(hash.size()));
}

// ---- type -------------------------------------------------------------------

PyGetSetDef properties[] = {
    property<get_bit_width>("bit_width"),
    property<get_seed>("seed"),
    property<get_dimension>("dimension"),
    property<get_residual_enabled>("residual_enabled"),
    property<get_num_codebook_entries>("num_codebook_entries"),
    property<get_config_hash>("config_hash"),
    properties_end(),
};

// No rich comparison and no hash: equality and hashing are by identity.
PyType_Slot slots[] = {
    slot(Py_tp_doc,
         "CodecConfig(bit_width, seed, dimension, residual_enabled=True)\n--\n\n"
         "Immutable value object describing codec parameters."),
    slot(Py_tp_new, &constructor<kNewSignature, codec_config_new>),
    slot(Py_tp_dealloc, &dealloc_instance<Config>),
    slot(Py_tp_repr, &unary<codec_config_repr>),
    slot(Py_tp_getset, properties),
    slot_end(),
};

PyType_Spec spec = {"marrowfin_rs.CodecConfig", instance_size<Config>, 0, kClassFlags, slots};

HeapType heap_type{spec};

}  // namespace

PyTypeObject* codec_config_type() { return heap_type.get(); }

std::optional<const codec::CodecConfig*> to_codec_config(PyObject* object) {
  if (!to_instance(object, codec_config_type())) {
    return std::nullopt;
  }
  return &value_of<Config>(object);
}

const codec::CodecConfig& codec_config_of(PyObject* object) { return value_of<Config>(object); }

}  // namespace marrowfin::py
