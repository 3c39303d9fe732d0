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

#include "core/backend/brute_force_backend.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/common/result.hpp"
#include "core/common/shared.hpp"
#include "core/common/stop_token.hpp"
#include "core/corpus/compression_policy.hpp"
#include "core/corpus/corpus_error.hpp"
#include "core/corpus/corpus_event.hpp"
#include "core/corpus/entry_store.hpp"
#include "core/corpus/vector_entry.hpp"
#include "core/rotation/apply/batch_inverse_rotation.hpp"
#include "core/rotation/rotation_matrix.hpp"

namespace marrowfin::corpus {

// One decoded vector of decompress_all().
struct DecodedVector {
  SharedText vector_id;
  std::vector<float> values;
};

// Rows per group of the grouped code layout (see RowChunks).
inline constexpr std::size_t kScanGroup = 32;
// COMPRESS rows carry a float32 norm after their codes; rows whose values
// the grouped scan models inexactly (8-bit codes, or a residual) then also
// carry a float32 bound of their distance from the model (see
// coarse_level()).
inline constexpr std::size_t kNormBytes = sizeof(float);
// The bytes after a COMPRESS row's codes (see Corpus::store_row).
[[nodiscard]] std::size_t norm_bytes(const codec::CodecConfig& config) noexcept;
// Whether COMPRESS rows of `config` carry the distance bound.
[[nodiscard]] bool has_distance_bound(const codec::CodecConfig& config) noexcept;
// The value the grouped scan's tables stand code c for: its level for 4-bit
// codes; for 8-bit codes the midpoint (binary64, rounded to float32) of the
// first and last level of its run of 4 codes (c & ~3 .. c | 3), so that a
// 64-entry table per coordinate covers all 256 codes (a codebook of fewer
// entries: the level).
[[nodiscard]] float coarse_level(std::span<const float> levels, unsigned bit_width, unsigned c);
// The code group a corpus of this policy and configuration stores rows in.
[[nodiscard]] std::size_t scan_group(CompressionPolicy policy,
                                     const codec::CodecConfig& config) noexcept;

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

  // Inserts vector_ids.size() vectors, row i of `values` (row-major, `cols`
  // floats per row) under vector_ids[i]; all or nothing. Checks, in order:
  // cols == dimension (else DimensionMismatch, as insert); every id new to
  // the corpus and to the ids before it (else DuplicateVectorId of the first
  // id in batch order that is not); the policy's encoding (the lowest
  // failing row's Codec error). On success records one VectorsInserted
  // listing the ids in order (nothing for an empty batch), and every entry
  // is byte for byte what insert would have stored. `threads` workers
  // encode (0 = choose). A raised `stop` abandons the batch before anything
  // is stored (a Codec error of kind Interrupted). values.size() must be vector_ids.size() * cols
  // (std::invalid_argument otherwise: the caller checks).
  Result<std::size_t, CorpusError> insert_batch(std::vector<std::string> vector_ids,
                                                std::span<const float> values, std::uint64_t cols,
                                                unsigned threads = 0,
                                                const StopToken& stop = StopToken::never());

  // The k = min(top_k, vector_count) best entries for the query, exactly as
  // a brute-force backend that ingested decompress_all() would return them:
  // the same ids in the same order with bit-identical scores (cosine of the
  // query and the decoded vector; higher first, ties and NaN by id bytes).
  // DimensionMismatch when the query length differs from the dimension;
  // empty for an empty corpus or top_k 0. Records nothing. `threads`
  // workers scan (0 = choose); the result never depends on it.
  Result<std::vector<backend::SearchResult>, CorpusError> search(std::span<const float> query,
                                                                 std::uint64_t top_k,
                                                                 unsigned threads = 0) const;

  [[nodiscard]] bool contains(std::string_view vector_id) const noexcept;
  // Copy of the entry; nullopt if absent.
  [[nodiscard]] std::optional<VectorEntry> get(std::string_view vector_id) const;
  // The decoded values (dimension floats); UnknownVectorId or Codec on failure.
  // Records nothing.
  Result<std::vector<float>, CorpusError> decompress(std::string_view vector_id) const;
  // Every entry decoded, in ascending id byte order. Stored entries were
  // encoded by this corpus with its own configuration and codebook, so
  // decoding them cannot fail; should it, the first failing entry in id order
  // decides the error. Records CorpusDecompressed(count) only when the
  // corpus is non-empty and every entry decoded.
  Result<std::vector<DecodedVector>, CorpusError> decompress_all();
  // decompress_all in parts, for a caller that must still deliver the result
  // after recording the event: decode_all records nothing;
  // record_decompressed(count) records CorpusDecompressed(count) unless count
  // is 0 and returns a token for it (0 when nothing was recorded); and
  // withdraw_decompressed(token) removes that event again if it is still
  // pending, for a caller whose delivery failed.
  Result<std::vector<DecodedVector>, CorpusError> decode_all(
      const StopToken& stop = StopToken::never()) const;
  std::uint64_t record_decompressed(std::size_t count);
  void withdraw_decompressed(std::uint64_t token) noexcept;
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
  std::uint64_t vector_count() const noexcept { return store_.size(); }
  bool is_empty() const noexcept { return store_.empty(); }
  // All ids, in no promised order (callers treat them as a set).
  [[nodiscard]] std::vector<SharedText> vector_ids() const;
  // The storage itself, for callers that scan entries without copying.
  const EntryStore& store() const noexcept { return store_; }

  // Decodes the stored rows listed in `rows` into out (rows.size() *
  // dimension floats, row i at i * dimension), on up to `threads` workers
  // (0 = choose); the first failing row in list order decides the error.
  Status<codec::CodecError> decode_rows(std::span<const std::size_t> rows, std::span<float> out,
                                        unsigned threads = 0,
                                        const StopToken& stop = StopToken::never()) const;

 private:
  struct RowScratch {
    std::vector<std::uint8_t> codes;
    std::vector<float> values;
  };
  codec::CompressedVector record_at(std::size_t row) const;
  VectorEntry entry_at(std::size_t row) const;
  // Writes an encoded record into spare row `spare`; COMPRESS rows also get
  // the sum of squares of the unrotated decoded values (binary64, stored as
  // float32) after the codes, and, when the configuration has one, the
  // distance bound: the square root of the binary64 sum of
  // (u_j - coarse_level(c_j))^2 over the decoded values u_j, taken 2^-40
  // larger and stored as the float32 at or above it; search uses both.
  void store_row(const codec::CompressedVector& record, std::size_t spare, RowScratch& scratch);
  // Encodes row-major vectors into the store's spare rows 0 .. rows-1.
  // rotation_, fetched now if need be; null when `stop` ended its generation.
  const rotation::RotationMatrix* kept_rotation(const StopToken& stop) const;
  // inverse_, prepared now if need be; null when `stop` ended the rotation's
  // generation.
  const rotation::BatchInverseRotation* kept_inverse(const StopToken& stop) const;
  Status<codec::CodecError> encode_into_spare_rows(std::span<const float> values, std::size_t rows,
                                                   unsigned threads, const StopToken& stop);

  SharedText corpus_id_;
  codec::CodecConfig codec_config_;
  codec::Codebook codebook_;
  CompressionPolicy compression_policy_;
  EntryStore store_;
  std::vector<CorpusEvent> pending_;
  std::uint64_t last_token_ = 0;
  // The configuration's rotation, fetched (from the process-wide cache, or
  // generated) by the first operation that needs it and kept: a matrix too
  // large for the cache is never built twice. Not part of the observable
  // state; every operation holds the corpus lock, so const ones may fill it.
  mutable std::optional<rotation::RotationMatrix> rotation_;
  // The same rotation prepared for decoding (with the panel copy the batch
  // kernels stream, for matrices up to 64 MiB), likewise kept: a search
  // decodes a handful of candidates, for which preparing it each time would
  // cost as much as decoding them.
  mutable std::optional<rotation::BatchInverseRotation> inverse_;
};

}  // namespace marrowfin::corpus
