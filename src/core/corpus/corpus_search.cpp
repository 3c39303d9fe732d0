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
// so with q_rot = M q (binary64) and qf = fl32(q_rot), the fine total A is a
// float32 sum of the float32 products fl32(qf_j * u_j) in several
// interleaved running totals: through tables of those products (per
// coordinate for grouped 4-bit rows; per code byte, summed over the byte's
// coordinates, for other rows of 2 or 4 bits), or computed directly (8-bit
// rows, residuals). The approximate
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
// Selection: every regular row gets lo = a - err and hi = a + err, every
// irregular row its exact score. Scanning blocks keep the k largest lower
// values they have seen; a row whose upper value is below such a k-th value
// T (its own block's, or a larger one another block published) cannot be
// among the k best and is dropped, and grouped 4-bit rows whose coarse
// bound (below) already stays under T never get a fine score. Of the rows
// left, with L = the k-th largest of their lower values and the irregular
// rows' scores (L >= every T used), every row whose upper value reaches L is
// decoded and scored exactly, and the k best of those, in result order, are
// the answer. Which rows are dropped depends on how threads share the
// blocks; the answer does not.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <queue>
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
      const std::span<const std::size_t> batch = rows.subspan(first, count);
      decoded.resize(batch.size() * d);
      // A few candidates are decoded faster on this thread than by starting others.
      auto status = decode_rows(batch, decoded, count < 256 ? 1 : threads);
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
  const RowChunks& chunks = store_.code_chunks();
  const bool grouped = chunks.group() == kScanGroup;
  const fast_scan::Kernels& kernels = fast_scan::select(simd::best_level());

  // Fine tables: one 256-entry table per code byte for 2- and 4-bit rows
  // without a residual (the float32 sum of the products of the coordinates
  // the byte holds), one 16-entry table per coordinate for grouped rows.
  std::vector<float> tables;
  if (grouped && !residual && bits == 4) {
    tables.assign(2 * code_bytes * 16, 0.0f);
    for (std::size_t j = 0; j < dimension; ++j) {
      for (std::size_t c = 0; c < 16 && c < levels.size(); ++c)
        tables[j * 16 + c] = qf[j] * levels[c];
    }
  } else if (!residual && bits < 8) {
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

  // The cosine a of a fine total (a float32 sum of rounded products) and
  // its bound, for a row of stored squared norm norm2 (regular).
  const auto cosine_of = [&](float total, double norm2, double& a, double& err) {
    a = static_cast<double>(total) / (query_norm * std::sqrt(norm2));
    err = std::abs(a) * c1 + c2;
  };
  // Fine approximation of one row from its row-major codes (norm after
  // them); false for an irregular row.
  const auto fine = [&](std::size_t row, const std::uint8_t* codes, double& a, double& err) {
    float norm2_stored;
    std::memcpy(&norm2_stored, codes + code_bytes, sizeof norm2_stored);
    const double norm2 = norm2_stored;
    if (!regular(norm2)) return false;
    float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (!tables.empty()) {
      std::size_t b = 0;
      for (; b + 8 <= code_bytes; b += 8) {
        for (unsigned t = 0; t < 8; ++t) s[t] += tables[(b + t) * 256 + codes[b + t]];
      }
      for (; b < code_bytes; ++b) s[0] += tables[b * 256 + codes[b]];
    } else {
      const std::uint8_t* res = store_.residual(row);
      // Coordinate j: its code, its residual, into running total j % 8.
      const auto add = [&](std::size_t j, unsigned c) {
        float u = levels[c];
        if (res != nullptr) u += halves[res[2 * j] | (res[2 * j + 1] << 8)];
        s[j % 8] += qf[j] * u;
      };
      if (bits == 8 && res == nullptr) {
        std::size_t j = 0;
        for (; j + 8 <= dimension; j += 8) {
          for (unsigned t = 0; t < 8; ++t) s[t] += qf[j + t] * levels[codes[j + t]];
        }
        for (; j < dimension; ++j) add(j, codes[j]);
      } else if (bits == 8) {
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
    cosine_of(total, norm2, a, err);
    return true;
  };

  // Grouped rows are first scored coarsely from 8-bit tables. A code byte
  // holds S slots (two 4-bit coordinates, or one 8-bit one) of V table
  // values (16, or 64: the 8-bit code's top 6 bits); value c of slot j
  // stands for m(c) = coarse_level(...) (the level itself for 4-bit codes).
  // With P_j(c) = qf_j * m(c) (exact in binary64), m_j = min over c of
  // P_j(c), s = max over j of (max P_j - m_j) / 255, and code byte b in the
  // finest class e < kClasses whose step s_e = s / 2^e still spans its
  // slots' ranges in 255 steps, entry c of slot j's table is
  // t_j(c) = round((P_j(c) - m_j) / s_e), which the kernel counts
  // 2^(kClasses - 1 - e) times in units of s' = s / 2^(kClasses - 1). So the
  // table sum qf.m = sum P_j(c_j) lies within E = sum over j of max over c
  // of |m_j + s_e t_j(c) - P_j(c)| of P = sum m_j + s' * (integer sum). E is
  // computed, not estimated; the binary64 roundings of these few sums add
  // at most 2^-30 of the magnitudes involved. Rows whose values u differ
  // from the modelled ones carry D >= ||u - m|| (Corpus::store_row), so
  // |qf.u - qf.m| <= Qf D with Qf = ||qf||: W = Qf D (a relative 2^-40
  // larger, against its own rounding), and W = 0 for the others. A row's
  // fine bound a +- (|a| c1 + c2) covers qf.u / (Q U) against the exact
  // score, so the row's fine upper value is at most
  //   H = max(P + E + W, 0) (1 + c1) / (Q U) + c2,
  // which grows with the integer sum and, where positive, shrinks with U.
  // Against a threshold T > c2 (below), every row of a group whose H, taken
  // at the group's smallest U and largest W, stays below T is skipped
  // without a fine score: every row with P < x = (T - c2) Q U_min / (1 + c1)
  // - E - W_max, i.e. integer sum < (x - sum m_j) / s' (taken one lower, and
  // a relative 2^-40 lower, against binary64 rounding).
  std::vector<std::uint32_t> plan_bytes;
  std::vector<std::uint8_t> plan_tables;
  fast_scan::Plan plan{};
  double coarse_offset = 0.0;
  double coarse_step = 0.0;
  double coarse_error = 0.0;
  bool coarse = grouped && levels.size() == (std::size_t{1} << bits);
  if (coarse) {
    const std::size_t per_slot = bits == 4 ? 16 : 64;
    const std::size_t table_bytes = bits == 4 ? fast_scan::kTableBytes4 : fast_scan::kTableBytes8;
    const std::size_t slots_per_byte = bits == 4 ? 2 : 1;
    const std::size_t slots = slots_per_byte * code_bytes;
    std::vector<double> modelled(per_slot);
    for (std::size_t c = 0; c < per_slot; ++c) {
      modelled[c] = coarse_level(
          levels, bits, bits == 4 ? static_cast<unsigned>(c) : static_cast<unsigned>(c) << 2);
    }
    std::vector<double> products(slots * per_slot, 0.0);
    std::vector<double> minimum(slots, 0.0);
    std::vector<double> range(slots, 0.0);
    double magnitude = 0.0;
    double widest = 0.0;
    for (std::size_t j = 0; j < slots && j < dimension; ++j) {
      double lo = std::numeric_limits<double>::infinity();
      double hi = -lo;
      for (std::size_t c = 0; c < per_slot; ++c) {
        const double product = static_cast<double>(qf[j]) * modelled[c];
        products[j * per_slot + c] = product;
        coarse = coarse && std::isfinite(product);
        lo = std::min(lo, product);
        hi = std::max(hi, product);
      }
      minimum[j] = lo;
      range[j] = hi - lo;
      widest = std::max(widest, hi - lo);
      magnitude += std::max(std::abs(lo), std::abs(hi));
    }
    const double step = widest / 255.0;
    coarse = coarse && step > 0.0 && std::isfinite(step);
    if (coarse) {
      constexpr unsigned kClasses = fast_scan::kClasses;
      coarse_step = std::ldexp(step, -static_cast<int>(kClasses - 1));
      std::vector<unsigned> byte_class(code_bytes, 0);
      for (std::size_t b = 0; b < code_bytes; ++b) {
        double span = 0.0;
        for (std::size_t j = b * slots_per_byte; j < (b + 1) * slots_per_byte; ++j) {
          span = std::max(span, range[j]);
        }
        while (byte_class[b] + 1 < kClasses &&
               span <= 255.0 * std::ldexp(step, -static_cast<int>(byte_class[b] + 1))) {
          ++byte_class[b];
        }
      }
      plan_tables.assign(code_bytes * table_bytes, 0);
      for (unsigned e = 0; e < kClasses; ++e) {
        const double class_step = std::ldexp(step, -static_cast<int>(e));
        for (std::size_t b = 0; b < code_bytes; ++b) {
          if (byte_class[b] != e) continue;
          std::uint8_t* entries = &plan_tables[plan_bytes.size() * table_bytes];
          plan_bytes.push_back(static_cast<std::uint32_t>(b));
          for (std::size_t k = 0; k < slots_per_byte; ++k) {
            const std::size_t j = b * slots_per_byte + k;
            double worst = 0.0;
            for (std::size_t c = 0; c < per_slot; ++c) {
              const double p = products[j * per_slot + c];
              const double t =
                  std::clamp(std::nearbyint((p - minimum[j]) / class_step), 0.0, 255.0);
              // Slot k's value c: quarter k + c / 16 of the byte's tables.
              std::uint8_t* entry = entries + (k + c / 16) * 32 + c % 16;
              entry[0] = entry[16] = static_cast<std::uint8_t>(t);
              worst = std::max(worst, std::abs(minimum[j] + class_step * t - p));
            }
            coarse_offset += minimum[j];
            coarse_error += worst;
          }
        }
        plan.class_end[e] = plan_bytes.size();
      }
      plan.bytes = plan_bytes.data();
      plan.tables = plan_tables.data();
      coarse_error += 0x1p-30 * (magnitude + 255.0 * step * static_cast<double>(slots));
    }
  }
  const auto sum_group = bits == 8 ? kernels.sum_group8 : kernels.sum_group;
  const bool distance_bounded = grouped && has_distance_bound(codec_config_);

  // The fine total of a grouped 4-bit row (codes at `codes`, byte b at
  // codes + b * kScanGroup): coordinate j into running total j % 8.
  const auto grouped_fine = [&](const std::uint8_t* codes) {
    float s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0, s6 = 0, s7 = 0;
    const float* t = tables.data();
    const std::uint8_t* x = codes;
    std::size_t b = 0;
    for (; b + 4 <= code_bytes; b += 4, t += 128, x += 4 * kScanGroup) {
      s0 += t[x[0] & 15u];
      s1 += t[16 + (x[0] >> 4)];
      s2 += t[32 + (x[kScanGroup] & 15u)];
      s3 += t[48 + (x[kScanGroup] >> 4)];
      s4 += t[64 + (x[2 * kScanGroup] & 15u)];
      s5 += t[80 + (x[2 * kScanGroup] >> 4)];
      s6 += t[96 + (x[3 * kScanGroup] & 15u)];
      s7 += t[112 + (x[3 * kScanGroup] >> 4)];
    }
    float s[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    for (; b < code_bytes; ++b, t += 32, x += kScanGroup) {
      s[(2 * b) % 8] += t[x[0] & 15u];
      s[(2 * b + 1) % 8] += t[16 + (x[0] >> 4)];
    }
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  };
  // The fine total of other grouped rows (4-bit with a residual: row-major
  // halves at `res`; 8-bit, one code a byte), each value u_j formed as the
  // decoder forms it (fl32(level + residual)).
  const auto grouped_fine_direct = [&](const std::uint8_t* codes, const std::uint8_t* res) {
    float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t j = 0;
    if (bits == 8 && res == nullptr) {
      float s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0, s6 = 0, s7 = 0;
      for (const std::uint8_t* x = codes; j + 8 <= dimension; j += 8, x += 8 * kScanGroup) {
        s0 += qf[j] * levels[x[0]];
        s1 += qf[j + 1] * levels[x[kScanGroup]];
        s2 += qf[j + 2] * levels[x[2 * kScanGroup]];
        s3 += qf[j + 3] * levels[x[3 * kScanGroup]];
        s4 += qf[j + 4] * levels[x[4 * kScanGroup]];
        s5 += qf[j + 5] * levels[x[5 * kScanGroup]];
        s6 += qf[j + 6] * levels[x[6 * kScanGroup]];
        s7 += qf[j + 7] * levels[x[7 * kScanGroup]];
      }
      s[0] = s0, s[1] = s1, s[2] = s2, s[3] = s3, s[4] = s4, s[5] = s5, s[6] = s6, s[7] = s7;
    }
    for (; j < dimension; ++j) {
      const unsigned c =
          bits == 8 ? codes[j * kScanGroup] : (codes[(j / 2) * kScanGroup] >> ((j % 2) * 4)) & 15u;
      float u = levels[c];
      if (res != nullptr) u += halves[res[2 * j] | (res[2 * j + 1] << 8)];
      s[j % 8] += qf[j] * u;
    }
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  };
  // W of a row with distance bound D (above).
  double qf_norm2 = 0.0;
  for (const float x : qf) qf_norm2 += static_cast<double>(x) * x;
  const double qf_norm = std::sqrt(qf_norm2) * (1.0 + 0x1p-40);
  const auto widening = [&](float distance) {
    return qf_norm * static_cast<double>(distance) * (1.0 + 0x1p-40);
  };
  // 4-bit rows with a residual that pass the coarse bound are bounded again
  // with the residual's share computed. With l_j = level[c_j], r_j the
  // residual in float32 and u_j = fl32(l_j + r_j), D bounds ||u - l||,
  // |u_j - l_j - r_j| <= e |u_j|, and kernels.residual_dot gives a float32
  // sum RD within g Qf ||r|| of qf.r, so qf.u <= P + E + RD + W2 with
  // W2 = Qf (g D + 2 e U) (the 2 covers g e U and the float32 rounding of
  // U^2), a relative 2^-40 larger against its own rounding.
  const bool residual_share = distance_bounded && bits == 4 && residual && coarse;
  const auto residual_share_error = [&](float distance, float u2) {
    return qf_norm * (g * static_cast<double>(distance) + 2.0 * e * std::sqrt(u2)) *
           (1.0 + 0x1p-40);
  };

  // The scan: every regular row either skipped (it cannot reach the k best)
  // or offered with its fine bound to a block's Gatherer; irregular rows
  // listed for exact scoring.
  struct Candidate {
    std::size_t row;
    double lower;
    double upper;
  };
  std::atomic<double> published{-std::numeric_limits<double>::infinity()};
  // T: a value that at least k offered rows' lower values reach (the k-th
  // largest lower value of this block's offers, or a larger one another
  // block published). A row whose upper value is below T is not among the
  // k best; the final selection below only needs every row that is.
  class Gatherer {
   public:
    Gatherer(std::size_t k, std::atomic<double>& published) : k_(k), published_(published) {}
    double threshold() const noexcept {
      return std::max(local_, published_.load(std::memory_order_relaxed));
    }
    void offer(std::size_t row, double lower, double upper) {
      if (upper < threshold()) return;
      kept.push_back(Candidate{row, lower, upper});
      if (lows_.size() < k_) {
        lows_.push(lower);
      } else if (lower > lows_.top()) {
        lows_.pop();
        lows_.push(lower);
      } else {
        return;
      }
      if (lows_.size() == k_ && lows_.top() > local_) {
        local_ = lows_.top();
        double seen = published_.load(std::memory_order_relaxed);
        while (local_ > seen &&
               !published_.compare_exchange_weak(seen, local_, std::memory_order_relaxed)) {
        }
      }
    }
    std::vector<Candidate> kept;
    std::vector<std::size_t> irregular;

   private:
    std::size_t k_;
    std::atomic<double>& published_;
    double local_ = -std::numeric_limits<double>::infinity();
    std::priority_queue<double, std::vector<double>, std::greater<double>> lows_;
  };

  const std::uint64_t blocks = (n + kScanBlockRows - 1) / kScanBlockRows;
  std::vector<Gatherer> gathered;
  gathered.reserve(blocks);
  for (std::uint64_t b = 0; b < blocks; ++b) gathered.emplace_back(k, published);
  const StopToken never;
  run_blocks(blocks, runner_threads(threads, blocks), never, [&](std::uint64_t block) {
    Gatherer& out = gathered[block];
    const std::size_t first = block * kScanBlockRows;
    const std::size_t last = std::min(n, first + kScanBlockRows);
    if (grouped) {
      std::uint32_t sums[kScanGroup];
      float norms[kScanGroup];
      float distances[kScanGroup];
      for (std::size_t g0 = first; g0 < last; g0 += kScanGroup) {
        const std::uint8_t* data = chunks.group_data(g0 / kScanGroup);
        const std::size_t rows = std::min(kScanGroup, last - g0);
        // The norms follow the codes, so they are read once the scan has
        // brought the group into the cache.
        if (coarse) sum_group(data, data + store_.code_bytes() * kScanGroup, plan, sums);
        // Float f of row r, stored byte by byte after the codes.
        const auto stored = [&](std::size_t f, std::size_t r) {
          const std::uint8_t* bytes = data + (code_bytes + f * kNormBytes) * kScanGroup + r;
          return std::bit_cast<float>(std::uint32_t{bytes[0]} |
                                      (std::uint32_t{bytes[kScanGroup]} << 8) |
                                      (std::uint32_t{bytes[2 * kScanGroup]} << 16) |
                                      (std::uint32_t{bytes[3 * kScanGroup]} << 24));
        };
        double u2_min = std::numeric_limits<double>::infinity();
        double widening_max = 0.0;  // W, largest over the group
        for (std::size_t r = 0; r < rows; ++r) {
          norms[r] = stored(0, r);
          if (!regular(norms[r])) continue;
          u2_min = std::min(u2_min, static_cast<double>(norms[r]));
          if (distance_bounded) {
            distances[r] = stored(1, r);
            // A NaN bound makes the group's floor NaN, which skips nothing.
            const double w = widening(distances[r]);
            if (!(w <= widening_max)) widening_max = w;
          }
        }
        double sum_floor = -1.0;  // rows with a smaller integer sum are skipped
        const double threshold = out.threshold();
        const bool bounded = coarse && threshold > c2;
        // The least qf.u with which a row of squared norm u2 can reach T
        // (a relative 2^-40 lower, against binary64 rounding), and the coarse
        // total P of row r.
        const auto needed = [&](double u2) {
          return (threshold - c2) * query_norm * std::sqrt(u2) / (1.0 + c1) * (1.0 - 0x1p-40);
        };
        const auto coarse_total = [&](std::size_t r) {
          return coarse_offset + coarse_step * static_cast<double>(sums[r]);
        };
        if (bounded && std::isfinite(u2_min)) {
          const double x = needed(u2_min) - coarse_error - widening_max;
          if (std::isfinite(x)) {
            const double s = (x - coarse_offset) / coarse_step;
            sum_floor = s - std::abs(s) * 0x1p-40 - 1.0;
          }
        }
        // With a distance bound, W is checked against each row's own U (the
        // group's floor took the largest W and the smallest U), and the
        // residual rows left are fetched together.
        std::uint32_t pending = ~std::uint32_t{0};  // bit r: row r may still reach T
        if (distance_bounded && bounded) {
          pending = 0;
          for (std::size_t r = 0; r < rows; ++r) {
            if (!regular(norms[r]) || static_cast<double>(sums[r]) < sum_floor) continue;
            if (coarse_total(r) + coarse_error + widening(distances[r]) < needed(norms[r]))
              continue;
            pending |= std::uint32_t{1} << r;
            if (residual) {
              const std::uint8_t* res = store_.residual(g0 + r);
              for (std::size_t line = 0; line < layout.residual_bytes; line += 64) {
                __builtin_prefetch(res + line);
              }
            }
          }
        }
        for (std::size_t r = 0; r < rows; ++r) {
          const std::size_t row = g0 + r;
          if (!regular(norms[r])) {
            out.irregular.push_back(row);
            continue;
          }
          if (coarse && static_cast<double>(sums[r]) < sum_floor) continue;
          if ((pending >> r & 1u) == 0) continue;
          const std::uint8_t* codes = data + r;
          const std::uint8_t* res = residual ? store_.residual(row) : nullptr;
          if (residual_share && bounded) {
            // The residual's exact share, from its own row.
            const double product = kernels.residual_dot(res, qf.data(), dimension);
            if (coarse_total(r) + coarse_error + product +
                    residual_share_error(distances[r], norms[r]) <
                needed(norms[r])) {
              continue;
            }
          }
          const float total =
              tables.empty() ? grouped_fine_direct(codes, res) : grouped_fine(codes);
          double a, err;
          cosine_of(total, norms[r], a, err);
          out.offer(row, a - err, a + err);
        }
      }
      return true;
    }
    std::vector<std::uint8_t> buffer(store_.code_bytes());
    for (std::size_t row = first; row < last; ++row) {
      const std::uint8_t* codes = buffer.data();
      if (chunks.group() == 1) {
        codes = chunks.row(row);
      } else {
        store_.read_codes(row, buffer.data());
      }
      double a, err;
      if (!fine(row, codes, a, err)) {
        out.irregular.push_back(row);
        continue;
      }
      out.offer(row, a - err, a + err);
    }
    return true;
  });

  std::vector<Candidate> offered;
  std::vector<std::size_t> irregular;
  for (Gatherer& block : gathered) {
    offered.insert(offered.end(), block.kept.begin(), block.kept.end());
    irregular.insert(irregular.end(), block.irregular.begin(), block.irregular.end());
  }
  gathered.clear();

  // Irregular rows are scored exactly now.
  std::vector<float> irregular_scores;
  if (auto status = exact_scores(irregular, irregular_scores); !status.ok()) {
    return fail(CorpusError::codec(std::move(status).error()));
  }
  for (float score : irregular_scores) {
    if (std::isnan(score)) return exhaustive();
  }

  // Selection: L = the k-th largest of the offered rows' lower values and
  // the irregular rows' exact scores (every skipped row's upper value is
  // below such a value, so it is not among them); at least k rows score
  // >= L, so an offered row whose upper value is below L is not among the
  // k best, and every other one is scored exactly.
  std::vector<std::size_t> candidates;
  if (!offered.empty()) {
    std::vector<double> lower;
    lower.reserve(offered.size() + irregular.size());
    for (const Candidate& c : offered) lower.push_back(c.lower);
    lower.insert(lower.end(), irregular_scores.begin(), irregular_scores.end());
    std::nth_element(lower.begin(), lower.begin() + static_cast<std::ptrdiff_t>(k - 1), lower.end(),
                     std::greater<double>());
    const double threshold = lower[k - 1];
    for (const Candidate& c : offered) {
      if (c.upper >= threshold) candidates.push_back(c.row);
    }
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
