#include "core/corpus/corpus.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "core/codec/batch.hpp"
#include "core/codec/record_codec.hpp"
#include "core/codec/service.hpp"
#include "core/common/saturating.hpp"
#include "core/common/vector_growth.hpp"
#include "core/corpus/policy_codec.hpp"

namespace marrowfin::corpus {
namespace {

// Rows encoded or decoded per call of the batch codec: enough to keep its
// workers busy, few enough that the per-record objects it works with stay
// small next to the rows themselves.
constexpr std::size_t kCodecSlice = 2048;

std::size_t grouped_width(const codec::CodecConfig& config) noexcept {
  return (std::size_t{config.dimension()} * config.bit_width() + 7) / 8 + norm_bytes(config);
}

}  // namespace

bool has_distance_bound(const codec::CodecConfig& config) noexcept {
  return config.bit_width() == 8 || (config.bit_width() == 4 && config.residual_enabled());
}

std::size_t norm_bytes(const codec::CodecConfig& config) noexcept {
  return has_distance_bound(config) ? 2 * kNormBytes : kNormBytes;
}

float coarse_level(std::span<const float> levels, unsigned bit_width, unsigned c) {
  if (bit_width != 8 || (c | 3u) >= levels.size()) return levels[c];
  return static_cast<float>(
      (static_cast<double>(levels[c & ~3u]) + static_cast<double>(levels[c | 3u])) / 2.0);
}

std::size_t scan_group(CompressionPolicy policy, const codec::CodecConfig& config) noexcept {
  // 4- and 8-bit codes are stored for the grouped scan (residuals stay in
  // rows of their own), unless a group would outgrow a chunk.
  const bool grouped = policy == CompressionPolicy::COMPRESS &&
                       (config.bit_width() == 4 || config.bit_width() == 8) &&
                       grouped_width(config) * kScanGroup <= (std::size_t{1} << 20);
  return grouped ? kScanGroup : 1;
}

namespace {

EntryStore make_store(CompressionPolicy policy, const codec::CodecConfig& config) {
  const RowLayout layout = row_layout(policy, config);
  const std::size_t norm = policy == CompressionPolicy::COMPRESS ? norm_bytes(config) : 0;
  const std::size_t width = layout.code_bytes + norm;
  const std::size_t group = scan_group(policy, config);
  return EntryStore(width, layout.residual_bytes, group);
}

}  // namespace

Corpus::Corpus(SharedText corpus_id, codec::CodecConfig codec_config, codec::Codebook codebook,
               CompressionPolicy compression_policy)
    : corpus_id_(std::move(corpus_id)),
      codec_config_(std::move(codec_config)),
      codebook_(std::move(codebook)),
      compression_policy_(compression_policy),
      store_(make_store(compression_policy_, codec_config_)) {
  pending_.emplace_back(CorpusCreated{corpus_id_, codec_config_, compression_policy_, 0});
}

Result<VectorEntry, CorpusError> Corpus::insert(std::string vector_id,
                                                std::span<const float> vector) {
  const std::uint32_t dimension = codec_config_.dimension();
  if (vector.size() != dimension) {
    return fail(CorpusError::dimension_mismatch(dimension, saturate_u32(vector.size())));
  }
  const EntryStore::Search found = store_.search(vector_id);
  if (found.found) return fail(CorpusError::duplicate_vector_id(share_text(std::move(vector_id))));

  auto encoded = encode_vector(vector, compression_policy_, codec_config_, codebook_, rotation_);
  if (!encoded.ok()) return fail(CorpusError::codec(std::move(encoded).error()));

  SharedText id = share_text(std::move(vector_id));
  VectorEntry entry(id, std::move(encoded).value(), dimension);
  // Everything that can fail happens first, so that once the entry is in,
  // recording its event cannot fail and leave an insert without its event.
  reserve_one_more(pending_);
  std::vector<SharedText> ids{id};
  store_.reserve(1, id->size());
  RowScratch scratch;
  store_row(entry.compressed(), 0, scratch);
  store_.insert_at(found.position, *id);
  pending_.emplace_back(VectorsInserted{corpus_id_, std::move(ids), 1, 0});
  return entry;
}

const rotation::RotationMatrix* Corpus::kept_rotation(const StopToken& stop) const {
  if (!rotation_) rotation_ = rotation::RotationMatrix::from_config(codec_config_, stop);
  return rotation_ ? &*rotation_ : nullptr;
}

const rotation::BatchInverseRotation* Corpus::kept_inverse(const StopToken& stop) const {
  if (!inverse_) {
    const rotation::RotationMatrix* matrix = kept_rotation(stop);
    if (matrix == nullptr) return nullptr;
    inverse_.emplace(*matrix, std::numeric_limits<std::size_t>::max());
  }
  return &*inverse_;
}

Status<codec::CodecError> Corpus::encode_into_spare_rows(std::span<const float> values,
                                                         std::size_t rows, unsigned threads,
                                                         const StopToken& stop) {
  const std::size_t d = codec_config_.dimension();
  RowScratch scratch;
  if (compression_policy_ != CompressionPolicy::COMPRESS) {
    for (std::size_t r = 0; r < rows; ++r) {
      if (r % kCodecSlice == 0 && stop.stop_requested())
        return fail(codec::CodecError::interrupted());
      auto encoded = encode_vector(values.subspan(r * d, d), compression_policy_, codec_config_,
                                   codebook_, rotation_);
      if (!encoded.ok()) return fail(std::move(encoded).error());
      store_row(encoded.value(), r, scratch);
    }
    return {};
  }
  for (std::size_t first = 0; first < rows; first += kCodecSlice) {
    const std::size_t count = std::min(kCodecSlice, rows - first);
    auto records = codec::batch_detail::compress_batch(values.subspan(first * d, count * d), count,
                                                       d, codec_config_, codebook_, threads, stop,
                                                       kept_rotation(stop));
    if (!records.ok()) return fail(std::move(records).error());
    for (std::size_t r = 0; r < count; ++r) {
      store_row(records.value()[r], first + r, scratch);
    }
  }
  return {};
}

Result<std::size_t, CorpusError> Corpus::insert_batch(std::vector<std::string> vector_ids,
                                                      std::span<const float> values,
                                                      std::uint64_t cols, unsigned threads,
                                                      const StopToken& stop) {
  const std::uint32_t dimension = codec_config_.dimension();
  const std::size_t rows = vector_ids.size();
  if (cols != dimension)
    return fail(CorpusError::dimension_mismatch(dimension, saturate_u32(cols)));
  if (values.size() != saturating_product(rows, cols)) {
    throw std::invalid_argument("insert_batch: values do not hold one row per id");
  }
  if (rows == 0) return std::size_t{0};

  // The first id, in batch order, that one-by-one inserts would refuse: one
  // already stored, or one equal to an earlier id of the batch (within a run
  // of equal ids sorted by position, every one after the first).
  std::size_t duplicate = rows;
  std::vector<std::size_t> by_id(rows);
  std::iota(by_id.begin(), by_id.end(), std::size_t{0});
  std::sort(by_id.begin(), by_id.end(), [&](std::size_t a, std::size_t b) {
    const int c = vector_ids[a].compare(vector_ids[b]);
    return c < 0 || (c == 0 && a < b);
  });
  for (std::size_t k = 0; k < rows; ++k) {
    const std::size_t i = by_id[k];
    if (i >= duplicate) continue;
    if ((k > 0 && vector_ids[by_id[k - 1]] == vector_ids[i]) || store_.contains(vector_ids[i])) {
      duplicate = i;
    }
  }
  if (duplicate != rows) {
    return fail(CorpusError::duplicate_vector_id(share_text(std::move(vector_ids[duplicate]))));
  }
  if (compression_policy_ == CompressionPolicy::COMPRESS &&
      codebook_.bit_width() != codec_config_.bit_width()) {
    return fail(CorpusError::codec(codec::CodecError::codebook_incompatible(
        codec_config_.bit_width(), codebook_.bit_width())));
  }

  std::size_t id_bytes = 0;
  for (const std::string& id : vector_ids) id_bytes += id.size();
  store_.reserve(rows, id_bytes);
  auto encoded = encode_into_spare_rows(values, rows, threads, stop);
  if (!encoded.ok()) return fail(CorpusError::codec(std::move(encoded).error()));

  reserve_one_more(pending_);
  std::vector<SharedText> shared;
  shared.reserve(rows);
  for (const std::string& id : vector_ids) shared.push_back(share_text(id));
  store_.append(vector_ids);
  pending_.emplace_back(VectorsInserted{corpus_id_, std::move(shared), saturate_u32(rows), 0});
  return rows;
}

bool Corpus::contains(std::string_view vector_id) const noexcept {
  return store_.contains(vector_id);
}

void Corpus::store_row(const codec::CompressedVector& record, std::size_t spare,
                       RowScratch& scratch) {
  scratch.codes.resize(store_.code_bytes());
  store_record(record, compression_policy_, scratch.codes.data(), store_.spare_residual(spare));
  if (compression_policy_ == CompressionPolicy::COMPRESS) {
    scratch.values.resize(codec_config_.dimension());
    // A record that does not decode gets a NaN norm: search scores it exactly.
    double sum = std::numeric_limits<double>::quiet_NaN();
    if (codec::decode_unrotated(record, codebook_, scratch.values.data()).ok()) {
      sum = 0.0;
      for (const float u : scratch.values) sum += static_cast<double>(u) * static_cast<double>(u);
    }
    const std::size_t code_bytes = row_layout(compression_policy_, codec_config_).code_bytes;
    const auto norm = static_cast<float>(sum);
    std::memcpy(scratch.codes.data() + code_bytes, &norm, sizeof norm);
    if (has_distance_bound(codec_config_)) {
      const std::span<const float> levels = codebook_.entries();
      const unsigned bits = codec_config_.bit_width();
      const std::uint8_t* codes = scratch.codes.data();
      double squares = std::numeric_limits<double>::quiet_NaN();
      if (std::isfinite(sum)) {
        squares = 0.0;
        for (std::size_t j = 0; j < codec_config_.dimension(); ++j) {
          const unsigned c = bits == 8 ? codes[j] : (codes[j / 2] >> ((j % 2) * 4)) & 15u;
          const double gap = static_cast<double>(scratch.values[j]) -
                             static_cast<double>(coarse_level(levels, bits, c));
          squares += gap * gap;
        }
      }
      const double distance = std::sqrt(squares) * (1.0 + 0x1p-40);
      auto bound = static_cast<float>(distance);
      if (static_cast<double>(bound) < distance) {
        bound = std::nextafter(bound, std::numeric_limits<float>::infinity());
      }
      std::memcpy(scratch.codes.data() + code_bytes + kNormBytes, &bound, sizeof bound);
    }
  }
  store_.write_spare_codes(spare, scratch.codes.data());
}

codec::CompressedVector Corpus::record_at(std::size_t row) const {
  std::vector<std::uint8_t> codes(store_.code_bytes());
  store_.read_codes(row, codes.data());
  return load_record(codes.data(), store_.residual(row), compression_policy_, codec_config_);
}

VectorEntry Corpus::entry_at(std::size_t row) const {
  return VectorEntry(share_text(std::string(store_.id(row))), record_at(row),
                     codec_config_.dimension());
}

std::optional<VectorEntry> Corpus::get(std::string_view vector_id) const {
  // Ids are unique, so the index finds the one entry a scan in insertion
  // order would, in O(log n): insert reads its entry back through here.
  const EntryStore::Search found = store_.search(vector_id);
  if (!found.found) return std::nullopt;
  return entry_at(store_.order()[found.position]);
}

Result<std::vector<float>, CorpusError> Corpus::decompress(std::string_view vector_id) const {
  const EntryStore::Search found = store_.search(vector_id);
  if (!found.found) {
    return fail(CorpusError::unknown_vector_id(share_text(std::string(vector_id))));
  }
  auto decoded = decode_entry(entry_at(store_.order()[found.position]), compression_policy_,
                              codec_config_, codebook_);
  if (!decoded.ok()) return fail(CorpusError::codec(std::move(decoded).error()));
  return std::move(decoded).value();
}

// Compressed rows are decoded in slices through the batch codec, which
// streams the shared rotation once for many records (and over several
// threads) and gives each record exactly the values, and the first failing
// record exactly the error, of decoding them one by one.
Status<codec::CodecError> Corpus::decode_rows(std::span<const std::size_t> rows,
                                              std::span<float> out, unsigned threads,
                                              const StopToken& stop) const {
  const std::size_t d = codec_config_.dimension();
  if (out.size() != rows.size() * d) {
    throw std::invalid_argument("decode_rows: output does not hold one vector per row");
  }
  if (compression_policy_ != CompressionPolicy::COMPRESS) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i % kCodecSlice == 0 && stop.stop_requested())
        return fail(codec::CodecError::interrupted());
      auto decoded = decode_entry(entry_at(rows[i]), compression_policy_, codec_config_, codebook_);
      if (!decoded.ok()) return fail(std::move(decoded).error());
      std::copy(decoded.value().begin(), decoded.value().end(), out.begin() + i * d);
    }
    return {};
  }
  std::vector<codec::CompressedVector> records;
  for (std::size_t first = 0; first < rows.size(); first += kCodecSlice) {
    const std::size_t count = std::min(kCodecSlice, rows.size() - first);
    records.clear();
    records.reserve(count);
    for (std::size_t i = first; i < first + count; ++i) {
      records.push_back(record_at(rows[i]));
    }
    auto status = codec::batch_detail::decompress_batch(records, codec_config_, codebook_,
                                                        out.subspan(first * d, count * d), threads,
                                                        stop, kept_inverse(stop));
    if (!status.ok()) return status;
  }
  return {};
}

Result<std::vector<DecodedVector>, CorpusError> Corpus::decompress_all() {
  auto decoded = decode_all();
  if (decoded.ok()) record_decompressed(decoded.value().size());
  return decoded;
}

std::uint64_t Corpus::record_decompressed(std::size_t count) {
  if (count == 0) return 0;
  pending_.emplace_back(CorpusDecompressed{corpus_id_, saturate_u32(count), 0, last_token_ + 1});
  return ++last_token_;
}

void Corpus::withdraw_decompressed(std::uint64_t token) noexcept {
  if (token == 0) return;
  // Newest first: the event is normally the last one, or close to it.
  for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
    const auto* event = std::get_if<CorpusDecompressed>(&it->payload());
    if (event != nullptr && event->token == token) {
      pending_.erase(std::next(it).base());
      return;
    }
  }
}

Result<std::vector<DecodedVector>, CorpusError> Corpus::decode_all(const StopToken& stop) const {
  if (store_.empty()) return std::vector<DecodedVector>{};
  const std::size_t d = codec_config_.dimension();
  const std::span<const std::size_t> order = store_.order();
  std::vector<DecodedVector> out;
  out.reserve(order.size());
  std::vector<float> slice;
  for (std::size_t first = 0; first < order.size(); first += kCodecSlice) {
    const std::size_t count = std::min(kCodecSlice, order.size() - first);
    slice.resize(count * d);
    auto status = decode_rows(order.subspan(first, count), slice, 0, stop);
    if (!status.ok()) return fail(CorpusError::codec(std::move(status).error()));
    for (std::size_t i = 0; i < count; ++i) {
      out.push_back(
          DecodedVector{share_text(std::string(store_.id(order[first + i]))),
                        std::vector<float>(slice.begin() + i * d, slice.begin() + (i + 1) * d)});
    }
  }
  return out;
}

std::optional<VectorEntry> Corpus::remove(std::string_view vector_id) {
  const EntryStore::Search found = store_.search(vector_id);
  if (!found.found) return std::nullopt;
  std::optional<VectorEntry> entry(entry_at(store_.order()[found.position]));
  store_.remove(vector_id);
  return entry;
}

std::vector<CorpusEvent> Corpus::pending_events() noexcept { return std::exchange(pending_, {}); }

void Corpus::restore_pending_events(std::vector<CorpusEvent> events) {
  if (events.empty()) return;
  events.insert(events.end(), std::make_move_iterator(pending_.begin()),
                std::make_move_iterator(pending_.end()));
  pending_ = std::move(events);
}

std::vector<SharedText> Corpus::vector_ids() const {
  std::vector<SharedText> ids;
  ids.reserve(store_.size());
  for (std::size_t row = 0; row < store_.size(); ++row) {
    ids.push_back(share_text(std::string(store_.id(row))));
  }
  return ids;
}

}  // namespace marrowfin::corpus
