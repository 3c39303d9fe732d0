// The domain events a corpus appends to its pending list. Every event carries
// the corpus id (shared with the corpus) and timestamp 0: the corpus consults
// no clock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/codec/codec_config.hpp"
#include "core/common/shared.hpp"
#include "core/corpus/compression_policy.hpp"

namespace marrowfin::corpus {

enum class ViolationKind : std::uint8_t {
  ConfigMismatch = 0,
  PolicyConflict = 1,
  DuplicateId = 2,
  DimensionMismatch = 3,
};

// "config_mismatch", "policy_conflict", "duplicate_id", "dimension_mismatch".
[[nodiscard]] std::string_view violation_kind_text(ViolationKind kind) noexcept;

struct CorpusCreated {
  SharedText corpus_id;
  codec::CodecConfig codec_config;
  CompressionPolicy compression_policy;
  std::int64_t timestamp = 0;
};

struct VectorsInserted {
  SharedText corpus_id;
  std::vector<SharedText> vector_ids;  // in insertion order
  std::uint32_t count = 0;             // == vector_ids.size()
  std::int64_t timestamp = 0;
};

struct CorpusDecompressed {
  SharedText corpus_id;
  std::uint32_t vector_count = 0;
  std::int64_t timestamp = 0;
  // Not part of the event's value: tells the recording call's event apart
  // should that call have to withdraw it.
  std::uint64_t token = 0;
};

// Part of the union for completeness; nothing in the core records it.
struct CompressionPolicyViolationDetected {
  SharedText corpus_id;
  ViolationKind violation_type = ViolationKind::ConfigMismatch;
  SharedText detail;
  std::int64_t timestamp = 0;
};

// The tag values follow the order of the alternatives in CorpusEvent::Payload.
enum class CorpusEventKind : std::uint8_t {
  CorpusCreated = 0,
  VectorsInserted = 1,
  CorpusDecompressed = 2,
  CompressionPolicyViolationDetected = 3,
};

class CorpusEvent {
 public:
  using Payload = std::variant<CorpusCreated, VectorsInserted, CorpusDecompressed,
                               CompressionPolicyViolationDetected>;

  CorpusEvent(CorpusCreated event) : payload_(std::move(event)) {}
  CorpusEvent(VectorsInserted event) : payload_(std::move(event)) {}
  CorpusEvent(CorpusDecompressed event) : payload_(std::move(event)) {}
  CorpusEvent(CompressionPolicyViolationDetected event) : payload_(std::move(event)) {}

  CorpusEventKind kind() const noexcept { return static_cast<CorpusEventKind>(payload_.index()); }
  const Payload& payload() const noexcept { return payload_; }

  // The event if it is a VectorsInserted, else nullptr.
  const VectorsInserted* vectors_inserted() const noexcept {
    return std::get_if<VectorsInserted>(&payload_);
  }

 private:
  Payload payload_;
};

}  // namespace marrowfin::corpus
