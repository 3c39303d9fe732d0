// One stored vector as the corpus keeps it and hands it out. Copies share the
// id text and the payload buffers.
#pragma once

#include <cstdint>
#include <utility>

#include "core/codec/compressed_vector.hpp"
#include "core/common/shared.hpp"

namespace marrowfin::corpus {

class VectorEntry {
 public:
  // compressed holds the payload in the form the corpus policy prescribes (see
  // policy_codec.hpp); dimension is the vector's true coordinate count, which
  // for the raw policies differs from compressed.dimension() (a byte count).
  VectorEntry(SharedText vector_id, codec::CompressedVector compressed, std::uint32_t dimension)
      : vector_id_(std::move(vector_id)),
        compressed_(std::move(compressed)),
        dimension_(dimension) {}

  const SharedText& vector_id() const noexcept { return vector_id_; }
  const codec::CompressedVector& compressed() const noexcept { return compressed_; }
  std::uint32_t dimension() const noexcept { return dimension_; }
  const SharedText& config_hash() const noexcept { return compressed_.config_hash(); }
  bool has_residual() const noexcept { return compressed_.has_residual(); }

 private:
  SharedText vector_id_;
  codec::CompressedVector compressed_;
  std::uint32_t dimension_;
};

}  // namespace marrowfin::corpus
