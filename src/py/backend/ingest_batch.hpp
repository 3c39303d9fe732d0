// The items of an `ingest` mapping copied out of their Python objects, so the
// core can store them with the interpreter lock released.
//
// A large batch (a million vectors) is copied into two flat buffers, one for
// all id texts and one for all vector elements, instead of one allocation per
// item: that halves the cost of the copy, which is otherwise dominated by the
// allocator and by first-touch page faults.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/backend/brute_force_backend.hpp"
#include "py/toolkit/python.hpp"

namespace marrowfin::py {

class IngestBatch {
 public:
  // Copies every (str key, 1-D float32 array value) item of `dict` in the
  // dict's order. A key that is not a str or a value that is not a 1-D
  // float32 array is a TypeError, a non-contiguous value a ValueError (the
  // converters' own errors, without an argument name); the first bad item
  // decides, and nothing is kept. Needs the interpreter lock.
  [[nodiscard]] static std::optional<IngestBatch> copy_from(PyObject* dict);

  // The pairs, viewing this batch's own buffers: valid while the batch lives
  // unchanged, and readable without the interpreter lock.
  [[nodiscard]] std::vector<backend::IngestItem> items() const;

 private:
  struct FreeFloats {
    void operator()(float* p) const noexcept { std::free(p); }
  };

  std::string text_;                             // every id's UTF-8 bytes, back to back
  std::vector<std::size_t> id_ends_;             // id i is text_[id_ends_[i-1], id_ends_[i])
  std::unique_ptr<float[], FreeFloats> values_;  // every vector's elements, back to back
  std::vector<std::size_t> vector_ends_;         // likewise for the vectors
};

}  // namespace marrowfin::py
