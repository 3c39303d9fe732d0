#include "core/backend/backend_error.hpp"

namespace marrowfin::backend {

BackendError BackendError::invalid_top_k() {
  return {BackendErrorKind::InvalidTopK, "top_k must be > 0"};
}

BackendError BackendError::adapter(std::string text) {
  return {BackendErrorKind::Adapter, "adapter error: " + text};
}

BackendError BackendError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
  return adapter("dimension mismatch: expected " + std::to_string(expected) + ", got " +
                 std::to_string(got));
}

BackendError BackendError::interrupted() { return {BackendErrorKind::Interrupted, "interrupted"}; }

}  // namespace marrowfin::backend
