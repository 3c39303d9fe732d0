// Argument binding: matching a call's positional and keyword arguments to a
// callable's parameters the way the interpreter does for a Python function,
// with the interpreter's wording for every binding error. Each parameter may
// be given positionally or by keyword; trailing parameters may be optional.
//
//   constexpr Signature<2> kSearch{"BruteForceBackend.search", {"query", "top_k"}};
//   // in the body, after binding:
//   auto top_k = args.convert(1, to_u64);        // "argument 'top_k': ..." on TypeError
//   if (!top_k) return nullptr;
//   // or several leading parameters at once, in order:
//   auto converted = args.convert_all(numpy::to_vector, or_default(to_u64, 10));
//   if (!converted) return nullptr;
//   auto& [query, top_k] = *converted;
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "py/toolkit/python.hpp"

namespace marrowfin::py {

// What a text signature shows before the parameters.
enum class Receiver : std::uint8_t {
  None,  // a module-level function or a constructor
  Self,  // "$self"
  Cls,   // "$cls"
};

namespace detail {

struct ParameterList {
  const char* callable;  // qualified name without "()", e.g. "CodecConfig.__new__"
  const char* const* names;
  std::size_t count;
  std::size_t required;       // parameters [0, required) have no default
  const char* shown_default;  // the default the text signature shows for the others
};

// Fill slots[0..count) with borrowed references to the bound arguments
// (nullptr for an omitted optional parameter). On a binding error they raise
// TypeError and return false.
bool bind_vectorcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);
bool bind_tuple(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                PyObject** slots);

// The docstring head inspect reads a signature from:
// "name($self, a, b=None)\n--\n\n" for a method of Class ("Class.name"),
// "$cls" for a class method, no receiver for a module-level function, and
// "Class(a, b)\n--\n\n" for a constructor ("Class.__new__").
std::string text_signature(const ParameterList& parameters, Receiver receiver);

// A conversion of the named parameter failed with the pending exception: an
// exact TypeError is replaced by TypeError("argument '<name>': <message>")
// carrying the original's __cause__; any other exception is left as it is.
void attach_argument_name(const char* name);

}  // namespace detail

// An optional parameter for Args::convert_all: converted with `converter`
// when given, `fallback` when omitted (as Args::convert_or).
template <class Converter, class T>
struct OrDefault {
  Converter converter;
  T fallback;
};

template <class Converter, class T>
constexpr OrDefault<std::decay_t<Converter>, T> or_default(Converter&& converter, T fallback) {
  return {std::forward<Converter>(converter), std::move(fallback)};
}

// The arguments of one call, bound to the parameters of a Signature.
template <std::size_t N>
class Args {
 public:
  Args(const char* const* names, const std::array<PyObject*, N>& values)
      : names_(names), values_(values) {}

  // The argument bound to parameter i (borrowed from the caller, alive for the
  // whole call), or nullptr when the optional parameter i was omitted.
  [[nodiscard]] PyObject* operator[](std::size_t i) const { return values_[i]; }
  [[nodiscard]] bool given(std::size_t i) const { return values_[i] != nullptr; }

  // Converts argument i with `converter` (PyObject* -> std::optional<T>),
  // attaching the parameter name to a conversion TypeError. Only for given
  // arguments; optional parameters use convert_or.
  template <class Converter>
  auto convert(std::size_t i, Converter&& converter) const -> decltype(converter(nullptr)) {
    auto converted = converter(values_[i]);
    if (!converted) {
      detail::attach_argument_name(names_[i]);
    }
    return converted;
  }

  // As convert(), but yields `fallback` when the optional parameter was omitted.
  template <class Converter, class T>
  auto convert_or(std::size_t i, Converter&& converter, T fallback) const
      -> decltype(converter(nullptr)) {
    if (!given(i)) {
      return decltype(converter(nullptr))(std::move(fallback));
    }
    return convert(i, std::forward<Converter>(converter));
  }

  // Converts arguments 0, 1, ... with one converter (or or_default) each, in
  // parameter order, as convert / convert_or would one by one: the first
  // failure is reported with its parameter name and the later parameters are
  // not converted at all. Yields the tuple of converted values.
  template <class... Converters>
  auto convert_all(const Converters&... converters) const {
    static_assert(sizeof...(Converters) <= N, "more converters than parameters");
    return convert_leading(std::index_sequence_for<Converters...>{}, converters...);
  }

 private:
  template <class Converter>
  auto convert_one(std::size_t i, const Converter& converter) const {
    return convert(i, converter);
  }
  template <class Converter, class T>
  auto convert_one(std::size_t i, const OrDefault<Converter, T>& parameter) const {
    return convert_or(i, parameter.converter, parameter.fallback);
  }

  template <std::size_t... I, class... Converters>
  auto convert_leading(std::index_sequence<I...>, const Converters&... converters) const {
    using Values = std::tuple<typename decltype(convert_one(I, converters))::value_type...>;
    std::tuple<decltype(convert_one(I, converters))...> slots;
    // && stops at the first empty result, so later converters never run.
    const bool converted = ((std::get<I>(slots) = convert_one(I, converters)).has_value() && ...);
    if (!converted) {
      return std::optional<Values>();
    }
    return std::optional<Values>(std::in_place, std::move(*std::get<I>(slots))...);
  }

  const char* const* names_;
  std::array<PyObject*, N> values_;
};

// The parameter list of one callable, the one place its parameter names are
// written: binding, binding errors and the docstring's text signature all read
// them from here. `callable` is the name used in binding errors ("Class.method",
// "Class.__new__" or "function"; the messages append "()"); the method table
// entry takes its name from the part after the dot.
template <std::size_t N>
struct Signature {
  const char* callable;
  std::array<const char*, N> names;
  std::size_t required = N;
  // The default the text signature shows for the optional parameters.
  const char* shown_default = "None";

  // Binding for METH_FASTCALL | METH_KEYWORDS functions.
  [[nodiscard]] std::optional<Args<N>> bind(PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) const {
    std::array<PyObject*, N> slots{};
    if (!detail::bind_vectorcall(list(), args, nargs, kwnames, slots.data())) {
      return std::nullopt;
    }
    return Args<N>(names.data(), slots);
  }

  // Binding for tp_new (an argument tuple and an optional keyword dict).
  [[nodiscard]] std::optional<Args<N>> bind(PyObject* args, PyObject* kwargs) const {
    std::array<PyObject*, N> slots{};
    if (!detail::bind_tuple(list(), args, kwargs, slots.data())) {
      return std::nullopt;
    }
    return Args<N>(names.data(), slots);
  }

  // "name($self, a, b=None)\n--\n\n" and its kin (detail::text_signature).
  [[nodiscard]] std::string text_signature(Receiver receiver) const {
    return detail::text_signature(list(), receiver);
  }

  // The method name: the part of `callable` after its last dot.
  [[nodiscard]] constexpr const char* method_name() const {
    const char* name = callable;
    for (const char* c = callable; *c != '\0'; ++c) {
      if (*c == '.') {
        name = c + 1;
      }
    }
    return name;
  }

 private:
  detail::ParameterList list() const {
    return {callable, names.data(), N, required, shown_default};
  }
};

}  // namespace marrowfin::py
