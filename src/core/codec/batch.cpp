#include "core/codec/batch.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "core/codec/record_codec.hpp"
#include "core/codec/service.hpp"
#include "core/common/block_runner.hpp"
#include "core/common/parallel.hpp"
#include "core/common/saturating.hpp"
#include "core/rotation/apply/batch_inverse_rotation.hpp"
#include "core/rotation/rotation_matrix.hpp"

namespace marrowfin::codec {
namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// Vectors handed to the rotation at once. The batch rotation kernels work on
// groups of 4, 8, 12, 24 or 96 vectors depending on the instruction set, so a
// multiple of all of them leaves no group half empty; 96 vectors of 768
// floats (288 KiB) still sit in L2 between rotation and quantization.
constexpr std::size_t kBlockRows = 96;

// Multiply-adds of rotation work below which another thread costs more to
// start than it saves.
constexpr std::uint64_t kMinWorkPerThread = std::uint64_t{1} << 21;

// The error of the lowest failing row among several workers. Rows are claimed
// in blocks of increasing position, so once a failure at row r is known, any
// block starting after r can be skipped: the sequential process would never
// have reached it.
class LowestFailure {
 public:
  void report(std::uint64_t row, CodecError error) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (row < lowest_.load(std::memory_order_relaxed)) {
      error_.emplace(std::move(error));
      lowest_.store(row, std::memory_order_release);
    }
  }
  bool known_before(std::uint64_t row) const noexcept {
    return lowest_.load(std::memory_order_acquire) < row;
  }
  std::optional<CodecError> take() { return std::move(error_); }

 private:
  std::mutex mutex_;
  std::atomic<std::uint64_t> lowest_{kMaxU64};
  std::optional<CodecError> error_;
};

unsigned choose_workers(unsigned requested, std::uint64_t rows, std::uint64_t dimension) {
  const std::uint64_t blocks = (rows + kBlockRows - 1) / kBlockRows;
  std::uint64_t workers = requested;
  if (workers == 0) {
    const std::uint64_t work = saturating_product(rows, saturating_product(dimension, dimension));
    workers = std::max<std::uint64_t>(1, work / kMinWorkPerThread);
    // Asking for the CPUs is a system call; small batches need not.
    if (workers > 1) workers = std::min<std::uint64_t>(workers, available_cpus());
  }
  return static_cast<unsigned>(
      std::clamp<std::uint64_t>(workers, 1, std::max<std::uint64_t>(blocks, 1)));
}

// Runs process_block(first_row, row_count) over all blocks of rows on
// `workers` threads (the calling thread is one of them) through the block
// runner. process_block returns false after reporting a failure, which ends
// the claiming of further blocks: they all start after the failing row. An
// exception in any worker is rethrown here once all have finished.
template <class ProcessBlock>
RunOutcome for_each_block(std::uint64_t rows, unsigned workers, const LowestFailure& failure,
                          const StopToken& stop, ProcessBlock&& process_block) {
  const std::uint64_t blocks = (rows + kBlockRows - 1) / kBlockRows;
  return run_blocks(blocks, workers, stop, [&](std::uint64_t block) {
    const std::uint64_t first = block * kBlockRows;
    if (failure.known_before(first)) return false;
    return process_block(first, std::min<std::uint64_t>(kBlockRows, rows - first));
  });
}

// A run that ended early because `stop` was raised reports Interrupted: the
// blocks it left unclaimed may hold a lower failing row than any it saw.
bool interrupted(RunOutcome outcome, const StopToken& stop) noexcept {
  return outcome != RunOutcome::Completed && stop.stop_requested();
}

}  // namespace

namespace batch_detail {

Result<std::vector<CompressedVector>, CodecError> compress_batch(
    std::span<const float> data, std::uint64_t rows, std::uint64_t cols, const CodecConfig& config,
    const Codebook& codebook, unsigned threads, const StopToken& stop,
    const rotation::RotationMatrix* rotation) {
  const std::uint32_t n = config.dimension();
  if (cols != n) {
    return fail(CodecError::dimension_mismatch(n, saturate_u32(cols)));
  }
  const std::uint64_t expected = saturating_product(rows, cols);
  if (data.size() != expected) return fail(CodecError::length_mismatch(data.size(), expected));
  if (rows == 0) return std::vector<CompressedVector>{};
  // Every row shares the codebook, so a mismatch fails the first row.
  if (codebook.bit_width() != config.bit_width()) {
    return fail(CodecError::codebook_incompatible(config.bit_width(), codebook.bit_width()));
  }

  std::optional<rotation::RotationMatrix> fetched;
  if (rotation == nullptr) {
    fetched = rotation::RotationMatrix::from_config(config, stop);
    if (!fetched) return fail(CodecError::interrupted());
  }
  const rotation::RotationMatrix& matrix = rotation != nullptr ? *rotation : *fetched;
  std::vector<std::optional<CompressedVector>> slots(rows);
  LowestFailure failure;
  const RunOutcome outcome =
      for_each_block(rows, choose_workers(threads, rows, n), failure, stop,
                     [&](std::uint64_t first, std::uint64_t count) {
                       auto rotated = std::make_unique_for_overwrite<float[]>(count * n);
                       matrix.apply_many(data.data() + first * n, count, rotated.get());
                       for (std::uint64_t r = 0; r < count; ++r) {
                         auto record = encode_rotated({rotated.get() + r * n, n}, config, codebook);
                         if (!record.ok()) {
                           failure.report(first + r, std::move(record).error());
                           return false;
                         }
                         slots[first + r].emplace(std::move(record).value());
                       }
                       return true;
                     });
  if (interrupted(outcome, stop)) return fail(CodecError::interrupted());
  if (auto error = failure.take()) return fail(std::move(*error));

  std::vector<CompressedVector> records;
  records.reserve(rows);
  for (auto& slot : slots) records.push_back(std::move(*slot));
  return records;
}

Status<CodecError> decompress_batch(std::span<const CompressedVector> compressed,
                                    const CodecConfig& config, const Codebook& codebook,
                                    std::span<float> out, unsigned threads, const StopToken& stop,
                                    const rotation::BatchInverseRotation* inverse) {
  const std::uint32_t n = config.dimension();
  const std::uint64_t count = compressed.size();
  const std::uint64_t expected = saturating_product(count, n);
  if (out.size() != expected) return fail(CodecError::length_mismatch(out.size(), expected));
  if (count == 0) return {};

  // The caller's inverse rotation, or one prepared by whichever block first
  // passes its checks, so a batch that fails on its first record never
  // builds a matrix; null when its generation was stopped.
  std::once_flag rotation_once;
  std::optional<rotation::BatchInverseRotation> prepared;
  const auto rotation = [&]() -> const rotation::BatchInverseRotation* {
    if (inverse != nullptr) return inverse;
    std::call_once(rotation_once, [&] {
      if (auto matrix = rotation::RotationMatrix::from_config(config, stop)) {
        prepared.emplace(std::move(*matrix), count);
      }
    });
    return prepared ? &*prepared : nullptr;
  };
  LowestFailure failure;
  const RunOutcome outcome =
      for_each_block(count, choose_workers(threads, count, n), failure, stop,
                     [&](std::uint64_t first, std::uint64_t rows) {
                       auto unrotated = std::make_unique_for_overwrite<float[]>(rows * n);
                       for (std::uint64_t r = 0; r < rows; ++r) {
                         const CompressedVector& record = compressed[first + r];
                         auto status = check_record(record, config, codebook, n);
                         if (status.ok())
                           status = decode_unrotated(record, codebook, unrotated.get() + r * n);
                         if (!status.ok()) {
                           failure.report(first + r, std::move(status).error());
                           return false;
                         }
                       }
                       const rotation::BatchInverseRotation* matrix = rotation();
                       if (matrix == nullptr) return false;  // generation was stopped
                       matrix->apply_many(unrotated.get(), rows, out.data() + first * n);
                       return true;
                     });
  if (interrupted(outcome, stop)) return fail(CodecError::interrupted());
  if (auto error = failure.take()) return fail(std::move(*error));
  return {};
}

}  // namespace batch_detail

Result<std::vector<CompressedVector>, CodecError> Codec::compress_batch(
    std::span<const float> data, std::uint64_t rows, std::uint64_t cols, const CodecConfig& config,
    const Codebook& codebook, const StopToken& stop) {
  return batch_detail::compress_batch(data, rows, cols, config, codebook, 0, stop);
}

Status<CodecError> Codec::decompress_batch(std::span<const CompressedVector> compressed,
                                           const CodecConfig& config, const Codebook& codebook,
                                           std::span<float> out, const StopToken& stop) {
  return batch_detail::decompress_batch(compressed, config, codebook, out, 0, stop);
}

}  // namespace marrowfin::codec
