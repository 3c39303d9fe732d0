// Corpus::search: the exact top k of a brute-force cosine search over the
// decoded vectors, computed from the stored form.
//
// The reference result is what a backend returns after ingesting
// decompress_all(): each vector v is decoded exactly as decompress_all does,
// scored with backend::cosine_similarity(query, v), and the results ordered
// by score (higher first), ties and NaN by id bytes, as the stable sort of
// all (score, id) pairs in id order (ingest order) would give.
//
// PASSTHROUGH and FP16 rows are scored exactly from their stored bytes.
//
// COMPRESS rows are first scored approximately without decoding, then every
// row that could reach the top k is decoded and scored exactly.
//
// Approximate score. The codec stores u (u_j = level[c_j], plus the binary16
// residual in float32) and decodes v = fl32(M^T u), each component a binary64
// sum rounded once to float32. For the orthogonal M, q . M^T u = (M q) . u,
// so with q_rot = M q (binary64) and qf = fl32(q_rot), one table per code
// byte (256 entries: the float32 sum of the float32 products qf_j * level[c]
// for the coordinates the byte holds) gives A = the float32 sum of one
// table entry per code byte (with a residual: of fl32(qf_j * u_j) per
// coordinate), in several interleaved running totals. The approximate
// cosine is a = A / (Q U), with Q^2 = sum of q_i^2 in binary64 and U^2 the
// row's stored norm (sum of u_j^2 in binary64, rounded to float32).
//
// Error bound (e = 2^-24, g = (d+1) e / (1 - (d+1) e), valid for any order
// of summation; Q, U as above, "regular" below):
//   1. Decode: |v - M^T u| <= e |M^T u| + d^1.5 2^-53 U componentwise-summed,
//      so ||v - M^T u|| <= (e + 2 delta + d^1.5 2^-53) U, where delta bounds
//      the departure of M from orthogonality (||M^T M - I|| <= 2^-30 for the
//      binary64 Householder product; the actual figure is near d 2^-52).
//   2. Exact dot D = float32 running sum of fl32(q_i v_i):
//      |D - q.v| <= g ||q|| ||v|| <= g Q U (1 + 2e + 2 delta).
//   3. q . M^T u = (M q) . u exactly; |q_rot - M q| <= d^1.5 2^-53 Q and
//      |qf - q_rot| <= e |q_rot|.
//   4. Approximate sum: every table entry and total is a float32 sum of the
//      rounded products, so |A - qf.u| <= g sum |qf_j u_j| <= g (1+e)(1+delta) Q U.
//   Together |D - A| <= eps_D Q U, eps_D = 2g + 2e + 2 d^1.5 2^-53 + 4 delta
//   + O(e^2), taken below as 2g + 4e + 4 d^1.5 2^-53 + 8 * 2^-30.
//   5. The exact cosine is fl(D / fl(sqrt(fl(na nb)))) with na, nb float32
//      running sums of squares: na = Q^2 (1 + t1), |t1| <= g; nb = ||v||^2 (1
//      + t2), |t2| <= g, and ||v||^2 = U^2 (1 + t3), |t3| <= 2(e + delta +
//      d^1.5 2^-53) + O(e^2); product, square root and division add
//      (1 + t4), |t4| <= 3e. So cos = (A + Delta) / (Q U (1 + eta)) (1 + t4)
//      with |Delta| <= eps_D Q U and |eta| <= g + 2e + 2 delta + ...
//   6. a itself is computed in binary64 from A, Q and the float32-rounded
//      U^2 (relative error <= e/2 + 2^-50).
//   Hence |cos - a| <= |a| c1 + c2 with c1 = 2 (g + 8e) and c2 = 2 eps_D: the
//   factor 2 covers every second-order term above for d below 2^20.
// The bound needs no overflow, underflow or NaN in the float32 sums: rows
// and queries are "regular" when Q^2 and U^2 lie in [2^-100, 2^100] (then
// every partial sum is below d 2^100 and every underflowing product costs
// at most 2^-150, far below c2 Q U). Irregular rows (zero, tiny, huge or
// non-finite u) are always decoded and scored exactly; an irregular query,
// or any NaN score, falls back to scoring every row exactly.
//
// Selection: with lo = a - err and hi = a + err for regular rows and the
// exact score for the others, L = the k-th largest of these lower values.
// At least k rows score >= L, so a row whose upper value is below L cannot
// be among the k best; every other row is decoded and scored exactly, and
// the k best of those, in result order, are the answer.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "core/backend/cosine_similarity.hpp"
#include "core/codec/binary16.hpp"
#include "core/common/block_runner.hpp"
#include "core/common/saturating.hpp"
#include "core/corpus/corpus.hpp"
#include "core/corpus/fast_scan.hpp"
#include "core/corpus/policy_codec.hpp"
#include "core/rotation/rotation_matrix.hpp"
#include "core/simd/level.hpp"

namespace marrowfin::corpus {
namespace {

constexpr std::size_t kScanBlockRows = 4096;
constexpr double kRegularLow = 0x1p-100;
constexpr double kRegularHigh = 0x1p100;

bool regular(double squared_norm) noexcept {
  return squared_norm >= kRegularLow && squared_norm <= kRegularHigh;
}

// binary16 bit pattern -> float32, for all 65,536 patterns.
const float* half_table() {
  static const std::vector<float> table = [] {
    std::vector<float> values(65536);
    for (std::uint32_t h = 0; h < 65536; ++h)
      values[h] = codec::half_to_float(static_cast<std::uint16_t>(h));
    return values;
  }();
  return table.data();
}

struct Scored {
  float score;
  std::size_t position;  // in id order
};

// Higher score first; equal scores, or a NaN, by id (= position) order.
bool better(const Scored& a, const Scored& b) noexcept {
  if (a.score > b.score) return true;
  if (b.score > a.score) return false;
  return a.position < b.position;
}

}  // namespace

Result<std::vector<backend::SearchResult>, CorpusError> Corpus::search(std::span<const float> query,
                                                                       std::uint64_t top_k,
                                                                       unsigned threads) const {
  const std::uint32_t dimension = codec_config_.dimension();
  if (query.size() != dimension) {
    return fail(CorpusError::dimension_mismatch(dimension, saturate_u32(query.size())));
  }
  const std::size_t n = store_.size();
  if (n == 0 || top_k == 0) return std::vector<backend::SearchResult>{};
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, n));
  const std::span<const std::size_t> order = store_.order();
  // A row's place in id order, found through the index (few rows ask).
  const auto position_of = [&](std::size_t row) { return store_.search(store_.id(row)).position; };

  const auto results = [&](std::vector<Scored> best) {
    std::vector<backend::SearchResult> out;
    out.reserve(best.size());
    for (const Scored& s : best) {
      out.push_back(
          backend::SearchResult{share_text(std::string(store_.id(order[s.position]))), s.score});
    }
    return out;
  };

  // Exact scores of the listed rows (by row), decoded in slices.
  const auto exact_scores = [&](std::span<const std::size_t> rows,
                                std::vector<float>& scores) -> Status<codec::CodecError> {
    scores.resize(rows.size());
    const std::size_t d = dimension;
    const std::size_t slice = 1024;
    std::vector<float> decoded;
    for (std::size_t first = 0; first < rows.size(); first += slice) {
      const std::size_t count = std::min(slice, rows.size() - first);
      decoded.resize(count * d);
      // A few candidates are decoded faster on this thread than by starting others.
      auto status = decode_rows(rows.subspan(first, count), decoded, count < 256 ? 1 : threads);
      if (!status.ok()) return status;
      for (std::size_t i = 0; i < count; ++i) {
        scores[first + i] = backend::cosine_similarity(query, {decoded.data() + i * d, d});
      }
    }
    return {};
  };

  // Every row scored exactly, ordered as the stable sort in id order.
  const auto exhaustive = [&]() -> Result<std::vector<backend::SearchResult>, CorpusError> {
    std::vector<float> scores;
    auto status = exact_scores(order, scores);
    if (!status.ok()) return fail(CorpusError::codec(std::move(status).error()));
    std::vector<Scored> all(n);
    for (std::size_t p = 0; p < n; ++p) all[p] = Scored{scores[p], p};
    std::stable_sort(all.begin(), all.end(), better);
    all.resize(k);
    return results(std::move(all));
  };

  if (compression_policy_ != CompressionPolicy::COMPRESS) {
    // Raw rows are scored where they lie: widened into a per-block buffer,
    // then the backend's cosine.
    std::vector<float> scores(n);
    const std::uint64_t blocks = (n + kScanBlockRows - 1) / kScanBlockRows;
    const bool fp16 = compression_policy_ == CompressionPolicy::FP16;
    const float* halves = fp16 ? half_table() : nullptr;
    const StopToken never;
    run_blocks(blocks, runner_threads(threads, blocks), never, [&](std::uint64_t block) {
      std::vector<float> values(dimension);
      const std::size_t first = block * kScanBlockRows;
      const std::size_t last = std::min(n, first + kScanBlockRows);
      for (std::size_t row = first; row < last; ++row) {
        const std::uint8_t* bytes = store_.code_chunks().row(row);
        for (std::size_t i = 0; i < dimension; ++i) {
          if (fp16) {
            values[i] = halves[bytes[2 * i] | (bytes[2 * i + 1] << 8)];
          } else {
            const std::uint32_t b =
                std::uint32_t{bytes[4 * i]} | (std::uint32_t{bytes[4 * i + 1]} << 8) |
                (std::uint32_t{bytes[4 * i + 2]} << 16) | (std::uint32_t{bytes[4 * i + 3]} << 24);
            values[i] = std::bit_cast<float>(b);
          }
        }
        scores[row] = backend::cosine_similarity(query, values);
      }
      return true;
    });
    std::vector<Scored> all(n);
    bool nan = false;
    for (std::size_t p = 0; p < n; ++p) {
      all[p] = Scored{scores[order[p]], p};
      nan = nan || std::isnan(all[p].score);
    }
    if (nan) {
      std::stable_sort(all.begin(), all.end(), better);
    } else {
      std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k), all.end(),
                        better);
    }
    all.resize(k);
    return results(std::move(all));
  }

  double query_norm2 = 0.0;
  for (float x : query) query_norm2 += static_cast<double>(x) * x;
  if (std::isnan(query_norm2)) {
    // Every score is 0.0: the first k ids.
    std::vector<Scored> first(k);
    for (std::size_t p = 0; p < k; ++p) first[p] = Scored{0.0f, p};
    return results(std::move(first));
  }
  if (!regular(query_norm2)) return exhaustive();

  // The rotated query: binary64 sums rounded once to float32.
  std::vector<float> qf(dimension);
  if (!kept_rotation(StopToken::never())->apply(query, qf).ok()) {
    throw std::logic_error("corpus search: rotation refused a query of its own dimension");
  }

  const std::span<const float> levels = codebook_.entries();
  const unsigned bits = codec_config_.bit_width();
  const unsigned per_byte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  const RowLayout layout = row_layout(compression_policy_, codec_config_);
  const std::size_t code_bytes = layout.code_bytes;
  const bool residual = layout.residual_bytes != 0;
  // One 256-entry table per code byte (no residual).
  std::vector<float> tables;
  if (!residual) {
    tables.assign(code_bytes * 256, 0.0f);
    for (std::size_t b = 0; b < code_bytes; ++b) {
      for (unsigned byte = 0; byte < 256; ++byte) {
        float sum = 0.0f;
        for (unsigned s = 0; s < per_byte; ++s) {
          const std::size_t j = b * per_byte + s;
          const unsigned c = (byte >> (s * bits)) & mask;
          if (j < dimension && c < levels.size()) sum += qf[j] * levels[c];
        }
        tables[b * 256 + byte] = sum;
      }
    }
  }
  const float* halves = residual ? half_table() : nullptr;

  const double g = (dimension + 1.0) * 0x1p-24 / (1.0 - (dimension + 1.0) * 0x1p-24);
  const double e = 0x1p-24;
  const double rounding = 4.0 * std::pow(static_cast<double>(dimension), 1.5) * 0x1p-53;
  const double c1 = 2.0 * (g + 8.0 * e);
  const double c2 = 2.0 * (2.0 * g + 4.0 * e + rounding + 8.0 * 0x1p-30);
  const double query_norm = std::sqrt(query_norm2);

  // Fine approximation of one row from its row-major codes (norm after
  // them): the cosine a and its bound; false for an irregular row.
  const auto fine = [&](std::size_t row, const std::uint8_t* codes, double& a, double& err) {
    float norm2_stored;
    std::memcpy(&norm2_stored, codes + code_bytes, sizeof norm2_stored);
    const double norm2 = norm2_stored;
    if (!regular(norm2)) return false;
    float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (!residual) {
      std::size_t b = 0;
      for (; b + 8 <= code_bytes; b += 8) {
        for (unsigned t = 0; t < 8; ++t) s[t] += tables[(b + t) * 256 + codes[b + t]];
      }
      for (; b < code_bytes; ++b) s[0] += tables[b * 256 + codes[b]];
    } else {
      const std::uint8_t* res = store_.residual(row);
      // Coordinate j: its code, its residual, into running total j % 8.
      const auto add = [&](std::size_t j, unsigned c) {
        const float u = levels[c] + halves[res[2 * j] | (res[2 * j + 1] << 8)];
        s[j % 8] += qf[j] * u;
      };
      if (bits == 8) {
        for (std::size_t j = 0; j < dimension; ++j) add(j, codes[j]);
      } else if (bits == 4) {
        for (std::size_t j = 0; j < dimension; ++j) add(j, (codes[j >> 1] >> ((j & 1) * 4)) & 15u);
      } else {
        for (std::size_t j = 0; j < dimension; ++j) {
          add(j, (codes[j / per_byte] >> ((j % per_byte) * bits)) & mask);
        }
      }
    }
    const float total = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    a = static_cast<double>(total) / (query_norm * std::sqrt(norm2));
    err = std::abs(a) * c1 + c2;
    return true;
  };

  // Grouped 4-bit rows are first scored coarsely from 8-bit tables. With
  // P_j(c) = qf_j * level[c] (exact in binary64), m_j = min over c of
  // P_j(c) and the common step s = max over j of (max P_j - m_j) / 255,
  // entry c of coordinate j's table is t_j(c) = round((P_j(c) - m_j) / s), so
  // the exact table sum qf.u = sum P_j(c_j) lies within E = sum over j of
  // max over c of |m_j + s t_j(c) - P_j(c)| of sum m_j + s * (integer sum
  // of t_j(c_j)). E is computed, not estimated; the binary64 roundings of
  // these few sums add at most 2^-30 of the magnitudes involved. The bound
  // of the cosine adds E / (Q U) to the fine bound's c1, c2 terms, which
  // cover qf.u against the exact score (the fine approximation's own float32
  // sum only makes them more conservative).
  const RowChunks& chunks = store_.code_chunks();
  std::vector<std::uint8_t> coarse_tables;
  double coarse_offset = 0.0;
  double coarse_step = 0.0;
  double coarse_error = 0.0;
  bool coarse = chunks.group() == kScanGroup && bits == 4 && !residual && levels.size() == 16;
  if (coarse) {
    const std::size_t slots = 2 * code_bytes;
    std::vector<double> products(slots * 16, 0.0);
    std::vector<double> minimum(slots, 0.0);
    double magnitude = 0.0;
    for (std::size_t j = 0; j < slots && j < dimension; ++j) {
      double lo = std::numeric_limits<double>::infinity();
      double hi = -lo;
      for (std::size_t c = 0; c < 16; ++c) {
        const double product = static_cast<double>(qf[j]) * static_cast<double>(levels[c]);
        products[j * 16 + c] = product;
        lo = std::min(lo, product);
        hi = std::max(hi, product);
      }
      coarse = coarse && std::isfinite(lo) && std::isfinite(hi);
      minimum[j] = lo;
      coarse_step = std::max(coarse_step, hi - lo);
      magnitude += std::max(std::abs(lo), std::abs(hi));
    }
    coarse_step /= 255.0;
    coarse = coarse && coarse_step > 0.0 && std::isfinite(coarse_step);
    if (coarse) {
      coarse_tables.assign(slots * 16, 0);
      for (std::size_t j = 0; j < slots; ++j) {
        double worst = 0.0;
        for (std::size_t c = 0; c < 16; ++c) {
          const double scaled = std::nearbyint((products[j * 16 + c] - minimum[j]) / coarse_step);
          const double t = std::clamp(scaled, 0.0, 255.0);
          coarse_tables[j * 16 + c] = static_cast<std::uint8_t>(t);
          worst = std::max(worst, std::abs(minimum[j] + coarse_step * t - products[j * 16 + c]));
        }
        coarse_offset += minimum[j];
        coarse_error += worst;
      }
      coarse_error += 0x1p-30 * (magnitude + 255.0 * coarse_step * static_cast<double>(slots));
    }
  }

  // Per row: approximate cosine and its bound, or NaN for an irregular row.
  std::vector<double> approx(n);
  std::vector<double> bound(n);
  const StopToken never;
  if (coarse) {
    const fast_scan::Kernels& kernels = fast_scan::select(simd::best_level());
    const std::size_t groups = (n + kScanGroup - 1) / kScanGroup;
    const std::size_t per_block = kScanBlockRows / kScanGroup;
    const std::uint64_t blocks = (groups + per_block - 1) / per_block;
    run_blocks(blocks, runner_threads(threads, blocks), never, [&](std::uint64_t block) {
      std::uint32_t sums[kScanGroup];
      const std::size_t last = std::min(groups, (block + 1) * per_block);
      for (std::size_t g = block * per_block; g < last; ++g) {
        const std::uint8_t* data = chunks.group_data(g);
        kernels.sum_group(data, code_bytes, coarse_tables.data(), sums);
        for (std::size_t r = 0; r < kScanGroup && g * kScanGroup + r < n; ++r) {
          const std::size_t row = g * kScanGroup + r;
          std::uint8_t norm_bytes[kNormBytes];
          for (std::size_t t = 0; t < kNormBytes; ++t)
            norm_bytes[t] = data[(code_bytes + t) * kScanGroup + r];
          float norm2_stored;
          std::memcpy(&norm2_stored, norm_bytes, sizeof norm2_stored);
          const double norm2 = norm2_stored;
          if (!regular(norm2)) {
            approx[row] = std::numeric_limits<double>::quiet_NaN();
            continue;
          }
          const double scale = query_norm * std::sqrt(norm2);
          const double a = (coarse_offset + coarse_step * static_cast<double>(sums[r])) / scale;
          approx[row] = a;
          bound[row] = coarse_error / scale + std::abs(a) * c1 + c2;
        }
      }
      return true;
    });
  } else {
    const std::uint64_t blocks = (n + kScanBlockRows - 1) / kScanBlockRows;
    run_blocks(blocks, runner_threads(threads, blocks), never, [&](std::uint64_t block) {
      std::vector<std::uint8_t> buffer(store_.code_bytes());
      const std::size_t first = block * kScanBlockRows;
      const std::size_t last = std::min(n, first + kScanBlockRows);
      for (std::size_t row = first; row < last; ++row) {
        const std::uint8_t* codes = buffer.data();
        if (chunks.group() == 1) {
          codes = chunks.row(row);
        } else {
          store_.read_codes(row, buffer.data());
        }
        if (!fine(row, codes, approx[row], bound[row])) {
          approx[row] = std::numeric_limits<double>::quiet_NaN();
        }
      }
      return true;
    });
  }

  // Irregular rows are scored exactly now.
  std::vector<std::size_t> irregular;
  for (std::size_t row = 0; row < n; ++row) {
    if (std::isnan(approx[row])) irregular.push_back(row);
  }
  std::vector<float> irregular_scores;
  if (auto status = exact_scores(irregular, irregular_scores); !status.ok()) {
    return fail(CorpusError::codec(std::move(status).error()));
  }
  for (float score : irregular_scores) {
    if (std::isnan(score)) return exhaustive();
  }

  // The rows among `rows` (every row that can be among the k best, with
  // the irregular rows; all regular rows when empty) whose upper value
  // reaches the k-th largest lower value.
  const auto reaching = [&](std::span<const std::size_t> rows) {
    const bool all = rows.empty();
    std::vector<double> lower;
    lower.reserve((all ? n : rows.size()) + irregular.size());
    const auto each = [&](auto&& visit) {
      if (all) {
        for (std::size_t row = 0; row < n; ++row) {
          if (!std::isnan(approx[row])) visit(row);
        }
      } else {
        for (const std::size_t row : rows) visit(row);
      }
    };
    each([&](std::size_t row) { lower.push_back(approx[row] - bound[row]); });
    lower.insert(lower.end(), irregular_scores.begin(), irregular_scores.end());
    std::nth_element(lower.begin(), lower.begin() + static_cast<std::ptrdiff_t>(k - 1), lower.end(),
                     std::greater<double>());
    const double threshold = lower[k - 1];
    std::vector<std::size_t> kept;
    each([&](std::size_t row) {
      if (approx[row] + bound[row] >= threshold) kept.push_back(row);
    });
    return kept;
  };
  std::vector<std::size_t> candidates;
  if (irregular.size() < n) candidates = reaching({});
  if (coarse && !candidates.empty()) {
    // The coarse survivors, scored again from the float32 tables.
    std::vector<std::uint8_t> buffer(store_.code_bytes());
    for (const std::size_t row : candidates) {
      store_.read_codes(row, buffer.data());
      if (!fine(row, buffer.data(), approx[row], bound[row])) {
        throw std::logic_error("corpus search: a regular row turned irregular");
      }
    }
    candidates = reaching(candidates);
  }
  std::vector<float> candidate_scores;
  if (auto status = exact_scores(candidates, candidate_scores); !status.ok()) {
    return fail(CorpusError::codec(std::move(status).error()));
  }
  std::vector<Scored> best;
  best.reserve(candidates.size() + irregular.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (std::isnan(candidate_scores[i])) return exhaustive();
    best.push_back(Scored{candidate_scores[i], position_of(candidates[i])});
  }
  for (std::size_t i = 0; i < irregular.size(); ++i) {
    best.push_back(Scored{irregular_scores[i], position_of(irregular[i])});
  }
  // No NaN: a strict total order, so the k best sorted equal the stable sort's first k.
  std::sort(best.begin(), best.end(), better);
  best.resize(std::min(k, best.size()));
  return results(std::move(best));
}

}  // namespace marrowfin::corpus
