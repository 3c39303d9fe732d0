// The corpus aggregate: vectors stored under unique string ids with one fixed
// configuration, codebook and compression policy, plus the list of domain
// events its operations recorded and the caller has not drained yet.
//
// Not internally locked: callers that share a corpus between threads wrap it
// in marrowfin::Guarded<Corpus> and hold the lock for each whole operation.
// Every failed operation returns its error before changing any state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/rotation/rotation_matrix.hpp"
#include "core/common/result.hpp"
#include "core/common/shared.hpp"
#include "core/corpus/compression_policy.hpp"
#include "core/corpus/corpus_error.hpp"
#include "core/corpus/corpus_event.hpp"
#include "core/corpus/vector_entry.hpp"
#include "core/corpus/vector_id_map.hpp"

namespace marrowfin::corpus {

// One decoded vector of decompress_all().
struct DecodedVector {
  SharedText vector_id;
  std::vector<float> values;
};

class Corpus {
 public:
  // Records CorpusCreated as the only pending event. The codebook is not
  // checked against the configuration here; a COMPRESS corpus reports an
  // unfitting codebook at its first insert.
  Corpus(SharedText corpus_id, codec::CodecConfig codec_config, codec::Codebook codebook,
         CompressionPolicy compression_policy);

  // Checks, in order: vector length == dimension (else DimensionMismatch;
  // a length of 2^32 or more is reported as got = 4294967295 rather than its
  // low 32 bits, which could alias the expected dimension); id not present
  // (else DuplicateVectorId); the policy's encoding (else Codec). On success
  // appends the entry, records VectorsInserted([id], 1) and returns a copy of
  // the stored entry (sharing its buffers).
  Result<VectorEntry, CorpusError> insert(std::string vector_id, std::span<const float> vector);

  [[nodiscard]] bool contains(std::string_view vector_id) const noexcept;
  // Copy of the entry; nullopt if absent.
  [[nodiscard]] std::optional<VectorEntry> get(std::string_view vector_id) const;
  // The decoded values (dimension floats); UnknownVectorId or Codec on failure.
  // Records nothing.
  Result<std::vector<float>, CorpusError> decompress(std::string_view vector_id) const;
  // Every entry decoded (in insertion order, so the first failing entry in
  // that order decides the error), returned in ascending id byte order. Records
  // CorpusDecompressed(count) only when the corpus is non-empty and every
  // entry decoded.
  Result<std::vector<DecodedVector>, CorpusError> decompress_all();
  // decompress_all in two halves, for a caller that must deliver the result
  // before the event may count: decode_all records nothing, and
  // record_decompressed(count) records CorpusDecompressed(count) unless count
  // is 0.
  Result<std::vector<DecodedVector>, CorpusError> decode_all() const;
  void record_decompressed(std::size_t count);
  // The removed entry, or nullopt (and no change) when the id is absent.
  // Records nothing.
  std::optional<VectorEntry> remove(std::string_view vector_id);

  // Moves the pending events out, oldest first, leaving the list empty.
  [[nodiscard]] std::vector<CorpusEvent> pending_events() noexcept;
  // Puts events taken by pending_events() back in front of any recorded
  // since, keeping their order, for a caller that could not deliver them.
  void restore_pending_events(std::vector<CorpusEvent> events);

  const SharedText& corpus_id() const noexcept { return corpus_id_; }
  const codec::CodecConfig& codec_config() const noexcept { return codec_config_; }
  const codec::Codebook& codebook() const noexcept { return codebook_; }
  CompressionPolicy compression_policy() const noexcept { return compression_policy_; }
  std::uint64_t vector_count() const noexcept { return entries_.size(); }
  bool is_empty() const noexcept { return entries_.empty(); }
  // All ids, in insertion order (callers treat them as a set).
  [[nodiscard]] std::vector<SharedText> vector_ids() const;
  // The id index itself, for callers that iterate entries without copying.
  const VectorIdMap& entries() const noexcept { return entries_; }

 private:
  // Every entry's values, in insertion order, or the first failing entry's error.
  Result<std::vector<std::vector<float>>, codec::CodecError> decode_all_in_insertion_order(
      std::span<const VectorIdMap::Slot> slots) const;

  SharedText corpus_id_;
  codec::CodecConfig codec_config_;
  codec::Codebook codebook_;
  CompressionPolicy compression_policy_;
  VectorIdMap entries_;
  std::vector<CorpusEvent> pending_;
  // The configuration's rotation, fetched at the first COMPRESS insert and
  // reused by every later one. Not part of the observable state.
  std::optional<rotation::RotationMatrix> rotation_;
};

}  // namespace marrowfin::corpus
