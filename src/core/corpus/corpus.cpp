#include "core/corpus/corpus.hpp"

#include <iterator>
#include <memory>
#include <utility>

#include "core/codec/service.hpp"
#include "core/common/saturating.hpp"
#include "core/common/vector_growth.hpp"
#include "core/corpus/policy_codec.hpp"

namespace marrowfin::corpus {

Corpus::Corpus(SharedText corpus_id, codec::CodecConfig codec_config, codec::Codebook codebook,
               CompressionPolicy compression_policy)
    : corpus_id_(std::move(corpus_id)),
      codec_config_(std::move(codec_config)),
      codebook_(std::move(codebook)),
      compression_policy_(compression_policy) {
  pending_.emplace_back(CorpusCreated{corpus_id_, codec_config_, compression_policy_, 0});
}

Result<VectorEntry, CorpusError> Corpus::insert(std::string vector_id,
                                                std::span<const float> vector) {
  const std::uint32_t dimension = codec_config_.dimension();
  if (vector.size() != dimension) {
    return fail(CorpusError::dimension_mismatch(dimension, saturate_u32(vector.size())));
  }
  const VectorIdMap::Search found = entries_.search(vector_id);
  if (found.found) return fail(CorpusError::duplicate_vector_id(share_text(std::move(vector_id))));

  auto encoded = encode_vector(vector, compression_policy_, codec_config_, codebook_, rotation_);
  if (!encoded.ok()) return fail(CorpusError::codec(std::move(encoded).error()));

  SharedText id = share_text(std::move(vector_id));
  VectorEntry entry(id, std::move(encoded).value(), dimension);
  // Reserve the event slot first so that, once the entry is in, recording
  // its event cannot fail and leave an insert without its event.
  reserve_one_more(pending_);
  entries_.insert_at(found.position, entry);
  pending_.emplace_back(VectorsInserted{corpus_id_, {std::move(id)}, 1, 0});
  return entry;
}

bool Corpus::contains(std::string_view vector_id) const noexcept {
  return entries_.contains(vector_id);
}

std::optional<VectorEntry> Corpus::get(std::string_view vector_id) const {
  // Ids are unique, so the index finds the one entry a scan in insertion
  // order would, in O(log n): insert reads its entry back through here.
  const VectorEntry* entry = entries_.find(vector_id);
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

Result<std::vector<float>, CorpusError> Corpus::decompress(std::string_view vector_id) const {
  const VectorEntry* entry = entries_.find(vector_id);
  if (entry == nullptr) return fail(CorpusError::unknown_vector_id(share_text(std::string(vector_id))));
  auto decoded = decode_entry(*entry, compression_policy_, codec_config_, codebook_);
  if (!decoded.ok()) return fail(CorpusError::codec(std::move(decoded).error()));
  return std::move(decoded).value();
}

// Compressed entries are decoded as one batch: the batch codec streams the
// shared rotation once for many records (and over several threads) and gives
// each record exactly the values, and the first failing record exactly the
// error, of decoding the entries one by one in insertion order.
Result<std::vector<std::vector<float>>, codec::CodecError> Corpus::decode_all_in_insertion_order(
    std::span<const VectorIdMap::Slot> slots) const {
  std::vector<std::vector<float>> by_position;
  by_position.reserve(slots.size());
  if (compression_policy_ != CompressionPolicy::COMPRESS) {
    for (const VectorIdMap::Slot& slot : slots) {
      auto decoded = decode_entry(slot.entry, compression_policy_, codec_config_, codebook_);
      if (!decoded.ok()) return fail(std::move(decoded).error());
      by_position.push_back(std::move(decoded).value());
    }
    return by_position;
  }
  std::vector<codec::CompressedVector> records;
  records.reserve(slots.size());
  for (const VectorIdMap::Slot& slot : slots) records.push_back(slot.entry.compressed());
  const std::size_t d = codec_config_.dimension();
  const std::size_t count = records.size() * d;
  const auto values = std::make_unique_for_overwrite<float[]>(count);
  auto status = codec::Codec::decompress_batch(records, codec_config_, codebook_, {values.get(), count});
  if (!status.ok()) return fail(std::move(status).error());
  for (std::size_t i = 0; i < records.size(); ++i) {
    by_position.emplace_back(values.get() + i * d, values.get() + (i + 1) * d);
  }
  return by_position;
}

Result<std::vector<DecodedVector>, CorpusError> Corpus::decompress_all() {
  auto decoded = decode_all();
  if (decoded.ok()) record_decompressed(decoded.value().size());
  return decoded;
}

void Corpus::record_decompressed(std::size_t count) {
  if (count != 0) pending_.emplace_back(CorpusDecompressed{corpus_id_, saturate_u32(count), 0});
}

Result<std::vector<DecodedVector>, CorpusError> Corpus::decode_all() const {
  if (entries_.empty()) return std::vector<DecodedVector>{};

  const std::span<const VectorIdMap::Slot> slots = entries_.entries();
  auto decoded = decode_all_in_insertion_order(slots);
  if (!decoded.ok()) return fail(CorpusError::codec(std::move(decoded).error()));
  std::vector<std::vector<float>> by_position = std::move(decoded).value();

  std::vector<DecodedVector> out;
  out.reserve(slots.size());
  for (const std::size_t position : entries_.order()) {
    out.push_back(DecodedVector{slots[position].id, std::move(by_position[position])});
  }
  return out;
}

std::optional<VectorEntry> Corpus::remove(std::string_view vector_id) {
  return entries_.remove(vector_id);
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
  ids.reserve(entries_.size());
  for (const VectorIdMap::Slot& slot : entries_.entries()) ids.push_back(slot.id);
  return ids;
}

}  // namespace marrowfin::corpus
