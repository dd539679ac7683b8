#pragma once
// The corpus aggregate: vectors stored under unique identifiers with one
// configuration, codebook and policy fixed at creation, plus the events not
// yet collected. CorpusState is the plain value; Corpus is the shared block
// that guards it with a lock which stays poisoned after an internal failure.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/poisonable_mutex.hpp"
#include "common/result.hpp"
#include "common/shared_text.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/config.hpp"
#include "core/corpus/events.hpp"
#include "core/corpus/policy.hpp"
#include "core/corpus/vector_entry.hpp"
#include "core/corpus/vector_id_map.hpp"

namespace zorvex {

// One decoded vector of decompress_all.
using DecodedVector = std::pair<std::string, std::vector<float>>;

// Copies of the pending events; `first` numbers the oldest. Events are numbered
// in the order they were recorded, from 0 at creation.
struct EventSnapshot {
  std::uint64_t first;
  std::vector<CorpusEvent> events;
};

class CorpusState {
 public:
  // Starts with no vectors and one pending CorpusCreated. The codebook's bit
  // width is deliberately not checked against the configuration's: under
  // COMPRESS every insert reports the mismatch instead.
  CorpusState(SharedText corpus_id, CodecConfig config, Codebook codebook, CompressionPolicy policy);

  const SharedText& corpus_id() const { return corpus_id_; }
  const CodecConfig& codec_config() const { return config_; }
  const Codebook& codebook() const { return codebook_; }
  CompressionPolicy compression_policy() const { return policy_; }

  // Checks length, then uniqueness, then encodes; stores the entry, records
  // VectorsInserted and returns the entry. A failure changes nothing, and
  // nothing can fail once the vector is stored.
  Result<VectorEntry, CorpusError> insert(SharedText vector_id, std::span<const float> vector);
  bool contains(std::string_view vector_id) const;
  std::optional<VectorEntry> get(std::string_view vector_id) const;
  Result<std::vector<float>, CorpusError> decompress(const SharedText& vector_id) const;
  // Every vector, ascending by identifier. Records CorpusDecompressed unless
  // the corpus is empty or a decode fails (then nothing is recorded).
  Result<std::vector<DecodedVector>, CorpusError> decompress_all();
  // decompress_all in two steps, for a caller that still has to present the
  // vectors and must not record the event should that fail.
  Result<std::vector<DecodedVector>, CorpusError> decode_all() const;
  void record_decompressed(std::size_t count);
  // False when not stored. Records nothing.
  bool remove(std::string_view vector_id);
  // Stores an already encoded record as a loaded file gives it, recording no
  // event; false (nothing stored) when the identifier is already stored.
  bool restore(std::string_view vector_id, const EncodedRecord& record);

  // Collecting events is two-phase so that a collector which fails to present
  // them loses none: snapshot, present, then claim. Only claims remove events,
  // and only from the front, so a snapshot's events still pending are always
  // the pending list's oldest.
  EventSnapshot snapshot_events() const;
  // Removes the `count` events numbered from `first` if none of them has been
  // claimed yet, returning 0. Otherwise claims nothing and returns how many of
  // them, counted from `first`, a concurrent collector already took.
  std::size_t claim_events(std::uint64_t first, std::size_t count);

  std::size_t vector_count() const { return id_map_.size(); }
  // In insertion order.
  std::vector<std::string> vector_ids() const;
  // Every stored record with its identifier, in insertion order.
  std::vector<std::pair<SharedText, CompressedVector>> records() const;

 private:
  SharedText corpus_id_;
  CodecConfig config_;
  Codebook codebook_;
  CompressionPolicy policy_;
  VectorIdMap id_map_;
  std::deque<CorpusEvent> pending_;
  std::uint64_t first_event_ = 0;  // number of pending_.front()
};

class Corpus {
 public:
  Corpus(SharedText corpus_id, CodecConfig config, Codebook codebook, CompressionPolicy policy)
      : state_(std::move(corpus_id), std::move(config), std::move(codebook), policy) {}
  Corpus(const Corpus&) = delete;
  Corpus& operator=(const Corpus&) = delete;

  // Runs `f(state)` under the lock and returns its result, or nullopt without
  // running it once the lock is poisoned. An internal failure escaping `f`
  // poisons the lock for good.
  template <class F>
  auto with_state(F&& f) {
    return mutex_.run([&] { return f(state_); });
  }

 private:
  PoisonableMutex mutex_;
  CorpusState state_;
};

}  // namespace zorvex
