#include "core/corpus/corpus_event.hpp"

namespace marrowfin::corpus {

std::string_view violation_kind_text(ViolationKind kind) noexcept {
  switch (kind) {
    case ViolationKind::ConfigMismatch: return "config_mismatch";
    case ViolationKind::PolicyConflict: return "policy_conflict";
    case ViolationKind::DuplicateId: return "duplicate_id";
    case ViolationKind::DimensionMismatch: return "dimension_mismatch";
  }
  return {};
}

}  // namespace marrowfin::corpus
