#include "core/corpus/corpus.hpp"

#include <algorithm>

namespace zorvex {

CorpusState::CorpusState(SharedText corpus_id, CodecConfig config, Codebook codebook, CompressionPolicy policy)
    : corpus_id_(std::move(corpus_id)), config_(std::move(config)), codebook_(std::move(codebook)), policy_(policy) {
  pending_.emplace_back(CorpusCreated{corpus_id_, 0, config_, policy_});
}

Result<VectorEntry, CorpusError> CorpusState::insert(SharedText vector_id, std::span<const float> vector) {
  if (vector.size() != config_.dimension()) {
    return err(CorpusError::dimension_mismatch(config_.dimension(), static_cast<std::uint32_t>(vector.size())));
  }
  if (id_map_.find(*vector_id)) return err(CorpusError::duplicate_vector_id(std::move(vector_id)));
  auto record = encode_record(policy_, vector, config_, codebook_);
  if (!record) return err(CorpusError::from_codec(std::move(record).error()));

  // Everything that can run out of memory happens before the vector is
  // stored: a caller told the insert failed must be able to retry it.
  StoredVector::Owner node = StoredVector::make(*vector_id, *record);
  VectorEntry entry = node->entry(config_);
  id_map_.reserve_one();
  // The event keeps its own text, so pending events never pin removed vectors.
  pending_.emplace_back(
      VectorsInserted{corpus_id_, 0, std::make_shared<const std::vector<SharedText>>(1, std::move(vector_id)), 1});
  id_map_.insert(std::move(node));
  return entry;
}

bool CorpusState::restore(std::string_view vector_id, const EncodedRecord& record) {
  if (id_map_.find(vector_id)) return false;
  StoredVector::Owner node = StoredVector::make(vector_id, record);
  id_map_.reserve_one();
  id_map_.insert(std::move(node));
  return true;
}

bool CorpusState::contains(std::string_view vector_id) const { return id_map_.find(vector_id) != nullptr; }

std::optional<VectorEntry> CorpusState::get(std::string_view vector_id) const {
  const StoredVector* stored = id_map_.find(vector_id);
  if (!stored) return std::nullopt;
  return stored->entry(config_);
}

Result<std::vector<float>, CorpusError> CorpusState::decompress(const SharedText& vector_id) const {
  const StoredVector* stored = id_map_.find(*vector_id);
  if (!stored) return err(CorpusError::unknown_vector_id(vector_id));
  auto values = decode_entry(policy_, stored->record(config_.config_hash()), config_, codebook_);
  if (!values) return err(CorpusError::from_codec(std::move(values).error()));
  return std::move(values).value();
}

Result<std::vector<DecodedVector>, CorpusError> CorpusState::decompress_all() {
  auto out = decode_all();
  if (out) record_decompressed(out->size());
  return out;
}

void CorpusState::record_decompressed(std::size_t count) {
  if (count == 0) return;
  pending_.emplace_back(CorpusDecompressed{corpus_id_, 0, static_cast<std::uint32_t>(count)});
}

Result<std::vector<DecodedVector>, CorpusError> CorpusState::decode_all() const {
  std::vector<DecodedVector> out;
  if (id_map_.empty()) return out;
  // Decoded in insertion order so the first failure reported is the first stored.
  std::vector<CompressedVector> records;
  records.reserve(id_map_.size());
  out.reserve(id_map_.size());
  id_map_.for_each([&](const StoredVector& v) {
    records.push_back(v.record(config_.config_hash()));
    out.emplace_back(v.id(), std::vector<float>());
  });
  auto decoded = decode_entries(policy_, records, config_, codebook_);
  if (!decoded) return err(CorpusError::from_codec(std::move(decoded).error()));
  for (std::size_t i = 0; i < out.size(); ++i) out[i].second = std::move(decoded->at(i));
  std::sort(out.begin(), out.end(),
            [](const DecodedVector& a, const DecodedVector& b) { return id_less(a.first, b.first); });
  return out;
}

bool CorpusState::remove(std::string_view vector_id) { return id_map_.remove(vector_id); }

EventSnapshot CorpusState::snapshot_events() const {
  return {first_event_, std::vector<CorpusEvent>(pending_.begin(), pending_.end())};
}

std::size_t CorpusState::claim_events(std::uint64_t first, std::size_t count) {
  if (first > first_event_ || count > first_event_ - first + pending_.size()) {
    panic("claimed events that were never recorded");
  }
  if (first < first_event_) return static_cast<std::size_t>(std::min<std::uint64_t>(first_event_ - first, count));
  for (std::size_t i = 0; i < count; ++i) pending_.pop_front();
  first_event_ += count;
  return 0;
}

std::vector<std::string> CorpusState::vector_ids() const {
  std::vector<std::string> ids;
  ids.reserve(id_map_.size());
  id_map_.for_each([&](const StoredVector& v) { ids.emplace_back(v.id()); });
  return ids;
}

std::vector<std::pair<SharedText, CompressedVector>> CorpusState::records() const {
  std::vector<std::pair<SharedText, CompressedVector>> out;
  out.reserve(id_map_.size());
  id_map_.for_each([&](const StoredVector& v) { out.emplace_back(make_text(v.id()), v.record(config_.config_hash())); });
  return out;
}

}  // namespace zorvex
