// Batch codec entry points with an explicit worker count, for tests and
// benchmarks that check results do not depend on it. Codec::compress_batch and
// Codec::decompress_batch call these with threads = 0 (choose automatically:
// up to one worker per hardware thread, and only when the batch is large
// enough to repay starting threads). A raised `stop` abandons the batch
// between blocks of rows with CodecError::interrupted(). `rotation`, when
// given, is the configuration's matrix the caller holds already (a corpus
// keeps its own, which a matrix too large for the cache needs); otherwise it
// comes from the process-wide cache.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/codec/codebook.hpp"
#include "core/codec/codec_config.hpp"
#include "core/codec/codec_error.hpp"
#include "core/codec/compressed_vector.hpp"
#include "core/common/result.hpp"
#include "core/common/stop_token.hpp"
#include "core/rotation/apply/batch_inverse_rotation.hpp"
#include "core/rotation/rotation_matrix.hpp"

namespace marrowfin::codec::batch_detail {

// data: rows * cols floats, row-major.
[[nodiscard]] Result<std::vector<CompressedVector>, CodecError> compress_batch(
    std::span<const float> data, std::uint64_t rows, std::uint64_t cols, const CodecConfig& config,
    const Codebook& codebook, unsigned threads, const StopToken& stop = StopToken::never(),
    const rotation::RotationMatrix* rotation = nullptr);

// out: compressed.size() * config.dimension() floats, record i at i * dimension.
// `inverse`, when given, is config's rotation prepared by the caller (a
// caller that decodes often keeps one); otherwise one is prepared here.
[[nodiscard]] Status<CodecError> decompress_batch(
    std::span<const CompressedVector> compressed, const CodecConfig& config,
    const Codebook& codebook, std::span<float> out, unsigned threads,
    const StopToken& stop = StopToken::never(),
    const rotation::BatchInverseRotation* inverse = nullptr);

}  // namespace marrowfin::codec::batch_detail
