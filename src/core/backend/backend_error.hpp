// The single error type of the search backend. Each factory formats its
// variant's message once; the Python layer maps the kind to an exception class
// and uses that text unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/error.hpp"

namespace marrowfin::backend {

enum class BackendErrorKind : std::uint8_t {
  InvalidTopK,  // a search asked for zero results: "top_k must be > 0"
  Adapter,      // "adapter error: " + a text, e.g. a dimension mismatch
  Interrupted,  // a raised StopToken abandoned the call
};

class BackendError : public Error<BackendErrorKind> {
 public:
  static BackendError invalid_top_k();
  static BackendError adapter(std::string text);
  // Adapter carrying "dimension mismatch: expected {expected}, got {got}".
  static BackendError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
  static BackendError interrupted();

 private:
  using Error::Error;
};

}  // namespace marrowfin::backend
