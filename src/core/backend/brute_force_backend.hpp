// The reference search backend: float32 vectors under string ids, searched
// exhaustively by cosine similarity (cosine_similarity.hpp).
//
// Ids keep their first-insertion order: ingesting an existing id replaces its
// vector in place, removing an id keeps the order of the others. A search
// returns the top_k ids in result order (result_order.hpp): higher score
// first, ties and NaN comparisons by id bytes ascending, as a stable sort of
// all stored pairs in insertion order would give.
//
// Not synchronised: the owner serialises every call (the Python layer keeps
// one in a marrowfin::Guarded).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/backend/backend_error.hpp"
#include "core/backend/id_index.hpp"
#include "core/backend/search_scan.hpp"
#include "core/backend/vector_block_store.hpp"
#include "core/common/result.hpp"
#include "core/common/shared.hpp"
#include "core/common/stop_token.hpp"

namespace marrowfin::backend {

// One pair handed to ingest(); the views need only live for the call.
struct IngestItem {
  std::string_view id;            // UTF-8 text
  std::span<const float> vector;  // the vector's length is its dimension
};

struct SearchResult {
  SharedText vector_id;  // the stored id itself, not a copy
  float score;
};

class BruteForceBackend {
 public:
  BruteForceBackend() = default;

  // Stores each pair in order. The first pair sets the dimension while it is
  // unset; a pair of another length stops the call with the dimension-mismatch
  // Adapter error, keeping the pairs stored before it.
  [[nodiscard]] Status<BackendError> ingest(std::span<const IngestItem> items);

  // query: any length. Checks, in order: top_k > 0 (InvalidTopK), an empty
  // store (empty result), the query length (Adapter). Returns
  // min(top_k, count()) results in result order.
  // A raised `stop` ends the scan early with Interrupted.
  [[nodiscard]] Result<std::vector<SearchResult>, BackendError> search(
      std::span<const float> query, std::uint64_t top_k,
      const StopToken& stop = StopToken::never()) const;

  // Removes each stored id; unknown ids are ignored. The dimension stays.
  void remove(std::span<const std::string> ids) noexcept;

  // Removes everything and unsets the dimension.
  void clear() noexcept;

  [[nodiscard]] std::uint64_t count() const noexcept { return store_.live_count(); }
  [[nodiscard]] std::optional<std::uint64_t> dimension() const noexcept { return dimension_; }

  // For tests and benchmarks: pins the scan kernel and thread count. Results
  // do not depend on it.
  void set_scan_tuning(const ScanTuning& tuning) noexcept { tuning_ = tuning; }

 private:
  // hash = IdIndex::hash_of(item.id).
  Status<BackendError> ingest_one(const IngestItem& item, std::uint64_t hash);
  void remove_one(std::string_view id) noexcept;
  void finish_removal() noexcept;

  std::optional<std::uint64_t> dimension_;
  VectorBlockStore store_;
  IdIndex index_;
  ScanTuning tuning_;
};

}  // namespace marrowfin::backend
