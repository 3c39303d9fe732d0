// M^T x for a batch of many vectors. The panel kernels want the matrix cut
// into column panels, so the batch pays for one copy of it up front and
// then streams every panel in row order; see pack_panels. Results are
// bit-identical to RotationMatrix::apply_inverse of each vector alone.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "core/rotation/apply/rotation_apply_kernels.hpp"
#include "core/rotation/rotation_matrix.hpp"

namespace marrowfin::rotation {

class BatchInverseRotation {
 public:
  // Prepared for `vectors` vectors in all. The panels are made only when they
  // pay: for enough vectors, a matrix of moderate size (the copy doubles its
  // memory) and a CPU with a panel kernel. If memory for them is short, the
  // plain batch kernel does the work instead.
  BatchInverseRotation(RotationMatrix rotation, std::size_t vectors);

  // `count` vectors of n floats back to back in, as many out; the two
  // buffers may overlap.
  void apply_many(const float* input, std::size_t count, float* output) const;

 private:
  struct AlignedDelete {
    void operator()(double* p) const noexcept { ::operator delete[](p, std::align_val_t{64}); }
  };

  RotationMatrix rotation_;
  const apply_kernels::ApplyKernels* kernels_;
  std::unique_ptr<double[], AlignedDelete> panels_;
};

}  // namespace marrowfin::rotation
