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

const SharedText& CorpusEvent::corpus_id() const noexcept {
  return std::visit([](const auto& event) -> const SharedText& { return event.corpus_id; },
                    payload_);
}

std::int64_t CorpusEvent::timestamp() const noexcept {
  return std::visit([](const auto& event) { return event.timestamp; }, payload_);
}

}  // namespace marrowfin::corpus
