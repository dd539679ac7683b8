#include "core/corpus/corpus.hpp"

namespace zorvex {

CorpusState::CorpusState(SharedText corpus_id, CodecConfig config, Codebook codebook, CompressionPolicy policy)
    : corpus_id_(std::move(corpus_id)), config_(std::move(config)), codebook_(std::move(codebook)), policy_(policy) {
  pending_.emplace_back(CorpusCreated{corpus_id_, 0, config_, policy_});
}

Result<Unit, CorpusError> CorpusState::insert(SharedText vector_id, std::span<const float> vector) {
  if (vector.size() != config_.dimension()) {
    return err(CorpusError::dimension_mismatch(config_.dimension(), static_cast<std::uint32_t>(vector.size())));
  }
  VectorIdMap::Slot slot = id_map_.search(*vector_id);
  if (slot.found) return err(CorpusError::duplicate_vector_id(std::move(vector_id)));
  auto record = encode_entry(policy_, vector, config_, codebook_);
  if (!record) return err(CorpusError::from_codec(std::move(record).error()));

  // Everything that can run out of memory happens before the first change.
  VectorsInserted event{corpus_id_, 0, std::make_shared<const std::vector<SharedText>>(1, vector_id), 1};
  pending_.reserve(pending_.size() + 1);
  id_map_.insert(slot, VectorEntry(std::move(vector_id), std::move(record).value(), config_.dimension()));
  pending_.emplace_back(std::move(event));
  return Unit{};
}

bool CorpusState::contains(std::string_view vector_id) const { return id_map_.search(vector_id).found; }

std::optional<VectorEntry> CorpusState::get(std::string_view vector_id) const {
  const VectorEntry* entry = id_map_.scan(vector_id);
  if (!entry) return std::nullopt;
  return *entry;
}

Result<std::vector<float>, CorpusError> CorpusState::decompress(const SharedText& vector_id) const {
  const VectorEntry* entry = id_map_.find(*vector_id);
  if (!entry) return err(CorpusError::unknown_vector_id(vector_id));
  auto values = decode_entry(policy_, entry->compressed(), config_, codebook_);
  if (!values) return err(CorpusError::from_codec(std::move(values).error()));
  return std::move(values).value();
}

Result<std::vector<DecodedVector>, CorpusError> CorpusState::decompress_all() {
  const auto& entries = id_map_.entries();
  if (entries.empty()) return std::vector<DecodedVector>{};
  // Decoded in insertion order so the first failure reported is the first stored.
  std::vector<std::vector<float>> decoded;
  decoded.reserve(entries.size());
  for (const VectorEntry& e : entries) {
    auto values = decode_entry(policy_, e.compressed(), config_, codebook_);
    if (!values) return err(CorpusError::from_codec(std::move(values).error()));
    decoded.push_back(std::move(values).value());
  }
  std::vector<DecodedVector> out;
  out.reserve(entries.size());
  for (std::size_t position : id_map_.sorted_index()) {
    out.emplace_back(entries[position].vector_id(), std::move(decoded[position]));
  }
  pending_.emplace_back(CorpusDecompressed{corpus_id_, 0, static_cast<std::uint32_t>(out.size())});
  return out;
}

bool CorpusState::remove(std::string_view vector_id) { return id_map_.remove(vector_id); }

std::vector<CorpusEvent> CorpusState::take_events() { return std::exchange(pending_, {}); }

std::vector<SharedText> CorpusState::vector_ids() const {
  std::vector<SharedText> ids;
  ids.reserve(id_map_.size());
  for (const VectorEntry& e : id_map_.entries()) ids.push_back(e.vector_id());
  return ids;
}

}  // namespace zorvex
