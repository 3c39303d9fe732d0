#include "core/backend/backend_error.hpp"

#include <utility>

namespace marrowfin::backend {

BackendError BackendError::invalid_top_k() { return {BackendErrorKind::InvalidTopK, {}}; }

BackendError BackendError::adapter(std::string text) {
  return {BackendErrorKind::Adapter, std::move(text)};
}

BackendError BackendError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
  return adapter("dimension mismatch: expected " + std::to_string(expected) + ", got " +
                 std::to_string(got));
}

std::string BackendError::message() const {
  switch (kind_) {
    case BackendErrorKind::InvalidTopK:
      return "top_k must be > 0";
    case BackendErrorKind::Adapter:
      return "adapter error: " + text_;
  }
  return {};
}

}  // namespace marrowfin::backend
