// The single error type of the search backend. Each variant has a fixed
// message text (message()); the Python layer maps the variant to an exception
// class and uses that text unchanged.
#pragma once

#include <cstdint>
#include <string>

namespace marrowfin::backend {

enum class BackendErrorKind : std::uint8_t {
  InvalidTopK,  // a search asked for zero results
  Adapter,      // carries a text, e.g. a dimension mismatch
};

class BackendError {
 public:
  static BackendError invalid_top_k();
  static BackendError adapter(std::string text);
  // Adapter carrying "dimension mismatch: expected {expected}, got {got}".
  static BackendError dimension_mismatch(std::uint64_t expected, std::uint64_t got);

  BackendErrorKind kind() const noexcept { return kind_; }
  // The text an Adapter error carries (empty for InvalidTopK).
  const std::string& adapter_text() const noexcept { return text_; }

  // "top_k must be > 0" or "adapter error: " + the carried text.
  std::string message() const;

  friend bool operator==(const BackendError&, const BackendError&) = default;

 private:
  BackendError(BackendErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  BackendErrorKind kind_;
  std::string text_;
};

}  // namespace marrowfin::backend
