#pragma once
// Exhaustive cosine search over raw float vectors stored under identifiers.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backend/id_column.hpp"
#include "backend/score_kernels.hpp"
#include "backend/search_result.hpp"
#include "common/errors.hpp"
#include "common/large_alloc.hpp"
#include "common/poisonable_shared_mutex.hpp"
#include "common/result.hpp"
#include "common/shared_text.hpp"

namespace zorvex {

using IngestPairs = std::vector<std::pair<SharedText, std::vector<float>>>;

namespace detail {
// Frees a block of vectors unless it is part of a larger allocation.
struct BlockFree {
  bool owns = true;
  void operator()(float* p) const;
};

// SipHash-1-3 of an identifier under process-random keys, for the indexes'
// hash maps.
struct KeyedIdHash {
  std::size_t operator()(std::string_view id) const;
};

using IdPositions = std::unordered_map<std::string_view, std::size_t, KeyedIdHash>;

// A column's identifiers as shared strings, and a map from each (viewing
// those strings) to its position: what an index builds when it leaves the
// file's tables at its first change.
struct IdIndex {
  std::vector<SharedText> texts;
  IdPositions positions;
};
IdIndex index_ids(const IdColumn& ids);
}  // namespace detail

// The stored vectors in insertion order, without a lock of its own.
//
// Identifiers keep their first-insertion order in `entries_`; the vectors
// themselves live in dense slots (slot s is lane s % 16 of block s / 16, see
// score_kernels.hpp) so that a query scores sixteen vectors per step. An
// entry names its slot; removal moves the last slot into the freed one, so
// slots stay dense while the order of entries is kept.
class BruteForceIndex {
 public:
  // Pairs in order; stops at the first dimension mismatch, keeping the pairs
  // applied before it.
  Result<Unit, BackendError> ingest(const IngestPairs& pairs);

  // The best min(top_k, count()) results: higher score first, equal or
  // unordered (NaN) scores by identifier bytes ascending; where NaN scores
  // make that rule circular, the order TopK (top_k.hpp) describes.
  // Changes nothing, so calls may run side by side (not beside a change).
  Result<std::vector<SearchResult>, BackendError> search(
      std::span<const float> query, std::uint64_t top_k,
      detail::ScoreKernel kernel = detail::score_kernel_active()) const;

  // One search per row of `queries` (nq rows of `cols` floats), each list
  // equal to what search() gives that row: the same sums in the same order,
  // with every block of stored vectors read once per group of queries.
  Result<std::vector<std::vector<SearchResult>>, BackendError> search_batch(
      const float* queries, std::size_t nq, std::size_t cols, std::uint64_t top_k,
      detail::ScoreKernel kernel = detail::score_kernel_active()) const;

  // The scores search() gives the named vectors for `query`; nullopt for an
  // identifier not stored. A non-empty index checks the query's length.
  Result<std::vector<std::optional<float>>, BackendError> score_ids(std::span<const float> query,
                                                                    std::span<const std::string_view> ids) const;

  // Unknown (or repeated) identifiers are ignored.
  void remove(std::span<const SharedText> ids);

  std::size_t count() const { return column() ? ids_.n : entries_.size(); }
  std::optional<std::size_t> dimension() const { return dimension_; }
  // Searches arrays mapped from a file; changing it is a broken precondition.
  bool mapped() const { return mapping_ != nullptr; }

  // The stored arrays as they are laid out, for saving: identifiers in
  // entry order with each entry's slot, then per slot its entry, vector
  // lanes (whole blocks of dimension * 16 floats), sum of squares and NaN
  // flag (padded to whole blocks).
  std::string_view id_at(std::size_t entry) const { return column() ? ids_.at(entry) : *entries_[entry].id; }
  std::size_t entry_slot(std::size_t entry) const { return column() ? entry_slot_[entry] : entries_[entry].slot; }
  std::span<const std::size_t> slot_entries() const { return {slot_entry_data(), count()}; }
  std::span<const float* const> blocks() const { return block_ptrs_; }
  std::span<const float> sums_of_squares() const { return {vv_data(), block_ptrs_.size() * detail::kScoreLanes}; }
  std::span<const std::uint8_t> nan_flags() const { return {nan_data(), block_ptrs_.size() * detail::kScoreLanes}; }

  // Room for `floats` floats, aligned for the kernels and not zeroed, in
  // which from_copies() takes a loaded copy's vectors.
  using Vectors = std::unique_ptr<float[], LargeFree>;
  static Vectors allocate_vectors(std::size_t floats);

  // An index holding exactly those arrays (as blocks() etc. give them, the
  // blocks back to back in `vectors`), identifiers and entry slots left in
  // the file's tables until the first change. The caller has checked that the
  // identifiers are distinct and sorted by `ids.order`, and that the slot
  // tables are inverse permutations.
  static BruteForceIndex from_copies(std::size_t dimension, std::shared_ptr<const void> ids_owner,
                                     const detail::IdColumn& ids, std::vector<std::uint64_t> entry_slot,
                                     std::vector<std::uint64_t> slot_entry, Vectors vectors,
                                     std::vector<float> sums_of_squares, std::vector<std::uint8_t> nan_flags);
  // An index reading those arrays where they lie, kept alive by `mapping`.
  // The caller has checked every table's bounds; damaged contents give wrong
  // results but no read outside them.
  static BruteForceIndex from_mapping(std::shared_ptr<const void> mapping, std::optional<std::size_t> dimension,
                                      const detail::IdColumn& ids, const std::uint64_t* entry_slot,
                                      const std::uint64_t* slot_entry, const float* vectors,
                                      const float* sums_of_squares, const std::uint8_t* nan_flags);

 private:
  struct Entry {
    SharedText id;
    std::size_t slot;
  };
  using Block = std::unique_ptr<float[], detail::BlockFree>;

  // The search past its argument checks; Index holds a storage position.
  template <class Index>
  std::vector<SearchResult> select(std::span<const float> query, std::size_t k, detail::ScoreKernel kernel) const;
  template <class Index>
  std::vector<std::vector<SearchResult>> select_batch(const float* queries, std::size_t nq, std::uint64_t top_k,
                                                      detail::ScoreKernel kernel) const;
  void write_slot(std::size_t slot, const std::vector<float>& v);
  void move_slot(std::size_t from, std::size_t to);
  std::size_t append_slot(const SharedText& id);
  // Column mode ends: the entries and hash map are built from the tables.
  void materialize();
  bool column() const { return ids_owner_ != nullptr; }

  std::optional<std::size_t> dimension_;
  std::vector<Entry> entries_;
  // Keys view the entries' own identifier text.
  detail::IdPositions positions_;
  std::vector<Block> blocks_;
  // The same blocks as the kernels take them.
  std::vector<const float*> block_ptrs_;
  // Per slot, padded to whole blocks.
  std::vector<float> vv_;
  std::vector<std::uint8_t> has_nan_;
  std::vector<std::size_t> slot_entry_;

  // A loaded copy's vectors, one allocation its blocks are part of.
  Vectors slab_;

  // Column mode (a mapping, or a loaded copy until its first change): the
  // identifiers and entry slots are the file's tables, alive while
  // `ids_owner_` is; `entries_` and `positions_` are empty.
  std::shared_ptr<const void> ids_owner_;
  detail::IdColumn ids_;
  const std::uint64_t* entry_slot_ = nullptr;
  std::vector<std::uint64_t> owned_entry_slot_;

  // Mapped mode: the file's arrays, alive while `mapping_` is.
  std::shared_ptr<const void> mapping_;
  const std::uint64_t* mapped_slot_entry_ = nullptr;
  const float* mapped_vv_ = nullptr;
  const std::uint8_t* mapped_nan_ = nullptr;

  const float* vv_data() const { return mapping_ ? mapped_vv_ : vv_.data(); }
  const std::uint8_t* nan_data() const { return mapping_ ? mapped_nan_ : has_nan_.data(); }
  const std::size_t* slot_entry_data() const {
    return mapping_ ? reinterpret_cast<const std::size_t*>(mapped_slot_entry_) : slot_entry_.data();
  }
  // Entry text as results hold it: shared, or copied (only for the k
  // results) in column mode.
  SharedText id_text(std::size_t entry) const { return column() ? make_text(ids_.at(entry)) : entries_[entry].id; }
  std::optional<std::size_t> find_entry(std::string_view id) const;
};

// The backend state shared between the Python object and operations in
// progress: the index behind its own readers-writer mutex, searches and
// count as readers. Every operation returns nullopt (false for remove/clear)
// without doing anything when the mutex is poisoned.
class BruteForceBackend {
 public:
  BruteForceBackend() = default;
  explicit BruteForceBackend(BruteForceIndex index) : mapped_(index.mapped()), index_(std::move(index)) {}

  // f(index) under the read lock.
  template <class F>
  auto read(F&& f) {
    return mutex_.run_shared([&] { return f(std::as_const(index_)); });
  }
  std::optional<Result<Unit, BackendError>> ingest(const IngestPairs& pairs);
  std::optional<Result<std::vector<SearchResult>, BackendError>> search(std::span<const float> query,
                                                                       std::uint64_t top_k);
  std::optional<Result<std::vector<std::vector<SearchResult>>, BackendError>> search_batch(const float* queries,
                                                                                           std::size_t nq,
                                                                                           std::size_t cols,
                                                                                           std::uint64_t top_k);
  std::optional<Result<std::vector<std::optional<float>>, BackendError>> score_ids(
      std::span<const float> query, std::span<const std::string_view> ids);
  bool remove(std::span<const SharedText> ids);
  bool clear();
  std::optional<std::size_t> count();
  // Fixed at construction, so it needs no lock.
  bool mapped() const { return mapped_; }

 private:
  bool mapped_ = false;
  PoisonableSharedMutex mutex_;
  BruteForceIndex index_;
};

}  // namespace zorvex
