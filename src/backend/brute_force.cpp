#include "backend/brute_force.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <type_traits>
#include <utility>

#include "common/fp_mode.hpp"
#include "backend/top_k.hpp"
#include "common/hash.hpp"

namespace zorvex {
namespace {

constexpr std::size_t L = detail::kScoreLanes;
constexpr std::align_val_t kBlockAlign{64};

std::array<std::uint64_t, 2> hash_keys() {
  static const std::array<std::uint64_t, 2> keys = [] {
    std::random_device rd;
    auto word = [&] { return (std::uint64_t{rd()} << 32) | rd(); };
    return std::array<std::uint64_t, 2>{word(), word()};
  }();
  return keys;
}

// Capacity for one more element, grown geometrically, so that the push_back
// that follows cannot throw.
template <class V>
void make_room(V& v, std::size_t more = 1) {
  if (v.capacity() - v.size() < more) v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

BackendError dimension_mismatch(std::size_t expected, std::size_t got) {
  return BackendError::adapter_error("dimension mismatch: expected " + std::to_string(expected) + ", got " +
                                     std::to_string(got));
}

// Blocks scored per kernel call: the scores of one call (16 KiB) are still
// in cache when selection reads them.
constexpr std::size_t kChunkBlocks = 256;

// Working memory of a search, per thread so that searches running side by
// side share nothing, and off the stack, which a thread may have little of.
template <class Index>
struct SearchScratch {
  detail::TopKScratch<Index> top;
  std::array<float, kChunkBlocks * L> scores;
};

template <class Index>
SearchScratch<Index>& thread_scratch() {
  thread_local SearchScratch<Index> scratch;
  return scratch;
}

// What a very large selection needed is given back rather than kept for good.
template <class Index>
void trim(detail::TopKScratch<Index>& scratch) {
  constexpr std::size_t kKeep = std::size_t{1} << 18;  // candidates per buffer
  for (auto* v : {&scratch.kept, &scratch.nan, &scratch.tmp})
    if (v->capacity() > kKeep) std::vector<detail::Candidate<Index>>().swap(*v);
}

}  // namespace

// ---- BruteForceIndex -------------------------------------------------------------

std::size_t detail::KeyedIdHash::operator()(std::string_view id) const {
  const auto keys = hash_keys();
  return static_cast<std::size_t>(
      siphash(1, 3, keys[0], keys[1],
              std::span(reinterpret_cast<const std::uint8_t*>(id.data()), id.size())));
}

void detail::BlockFree::operator()(float* p) const {
  if (owns) ::operator delete(p, kBlockAlign);
}

BruteForceIndex::Vectors BruteForceIndex::allocate_vectors(std::size_t floats) {
  return Vectors(static_cast<float*>(allocate_large(floats * sizeof(float))), LargeFree{floats * sizeof(float)});
}

detail::IdIndex detail::index_ids(const IdColumn& ids) {
  IdIndex out;
  out.texts.resize(ids.n);
  for (std::size_t i = 0; i < ids.n; ++i) out.texts[i] = make_text(ids.at(i));
  out.positions.reserve(ids.n);
  for (std::size_t i = 0; i < ids.n; ++i) out.positions.emplace(std::string_view(*out.texts[i]), i);
  return out;
}

// Built whole before anything is replaced, so a failed allocation leaves
// the index as it was.
void BruteForceIndex::materialize() {
  if (!column() || mapping_) return;
  auto index = detail::index_ids(ids_);
  std::vector<Entry> entries(ids_.n);
  for (std::size_t p = 0; p < ids_.n; ++p) entries[p] = {std::move(index.texts[p]), entry_slot_[p]};
  entries_ = std::move(entries);
  positions_ = std::move(index.positions);
  ids_owner_.reset();
  ids_ = {};
  entry_slot_ = nullptr;
  owned_entry_slot_ = {};
}

void BruteForceIndex::write_slot(std::size_t slot, const std::vector<float>& v) {
  float* lane = blocks_[slot / L].get() + slot % L;
  for (std::size_t i = 0; i < v.size(); ++i) lane[i * L] = v[i];
  detail::StandardFpMode mode;
  vv_[slot] = detail::sum_of_squares(v.data(), v.size());
  has_nan_[slot] = detail::any_nan(v.data(), v.size()) ? 1 : 0;
}

void BruteForceIndex::move_slot(std::size_t from, std::size_t to) {
  const std::size_t d = *dimension_;
  const float* src = blocks_[from / L].get() + from % L;
  float* dst = blocks_[to / L].get() + to % L;
  for (std::size_t i = 0; i < d; ++i) dst[i * L] = src[i * L];
  vv_[to] = vv_[from];
  has_nan_[to] = has_nan_[from];
  const std::size_t entry = slot_entry_[from];
  entries_[entry].slot = to;
  slot_entry_[to] = entry;
}

// Everything that can fail to allocate happens before the first change.
std::size_t BruteForceIndex::append_slot(const SharedText& id) {
  const std::size_t slot = entries_.size();
  const std::size_t position = slot;
  make_room(entries_);
  make_room(slot_entry_);
  Block fresh;
  if (slot == blocks_.size() * L) {
    const std::size_t floats = *dimension_ * L;
    fresh.reset(static_cast<float*>(::operator new(floats * sizeof(float), kBlockAlign)));
    std::memset(fresh.get(), 0, floats * sizeof(float));
    make_room(blocks_);
    make_room(block_ptrs_);
    make_room(vv_, L);
    make_room(has_nan_, L);
  }
  positions_.emplace(std::string_view(*id), position);
  if (fresh) {
    block_ptrs_.push_back(fresh.get());
    blocks_.push_back(std::move(fresh));
    vv_.resize(vv_.size() + L, 0.0f);
    has_nan_.resize(has_nan_.size() + L, 0);
  }
  entries_.push_back({id, slot});
  slot_entry_.push_back(position);
  return slot;
}

Result<Unit, BackendError> BruteForceIndex::ingest(const IngestPairs& pairs) {
  if (mapping_) panic("a mapped index cannot change");
  if (!pairs.empty()) materialize();
  for (const auto& [id, vector] : pairs) {
    const std::size_t n = vector.size();
    if (dimension_ && *dimension_ != n) return err(dimension_mismatch(*dimension_, n));
    if (!dimension_) dimension_ = n;
    auto found = positions_.find(std::string_view(*id));
    const std::size_t slot = found != positions_.end() ? entries_[found->second].slot : append_slot(id);
    write_slot(slot, vector);
  }
  return Unit{};
}

void BruteForceIndex::remove(std::span<const SharedText> ids) {
  if (mapping_) panic("a mapped index cannot change");
  if (column()) {
    if (std::none_of(ids.begin(), ids.end(), [&](const SharedText& id) { return ids_.find(*id).has_value(); })) return;
    materialize();
  }
  std::vector<std::uint8_t> doomed;
  std::vector<std::size_t> freed;
  for (const SharedText& id : ids) {
    auto found = positions_.find(std::string_view(*id));
    if (found == positions_.end()) continue;
    if (doomed.empty()) doomed.assign(entries_.size(), 0);
    if (doomed[found->second]) continue;
    doomed[found->second] = 1;
    freed.push_back(entries_[found->second].slot);
  }
  if (freed.empty()) return;

  // Highest freed slot first: the last slot is then either that one or a
  // live one, which moves down into the gap.
  std::sort(freed.begin(), freed.end(), std::greater<>());
  std::size_t live = entries_.size();
  for (std::size_t slot : freed) {
    if (slot != live - 1) move_slot(live - 1, slot);
    --live;
  }

  std::size_t out = 0;
  for (std::size_t p = 0; p < entries_.size(); ++p) {
    if (doomed[p]) {
      positions_.erase(std::string_view(*entries_[p].id));
      continue;
    }
    if (out != p) {
      entries_[out] = std::move(entries_[p]);
      positions_.find(std::string_view(*entries_[out].id))->second = out;
    }
    ++out;
  }
  entries_.resize(out);
  slot_entry_.resize(out);
  for (std::size_t p = 0; p < out; ++p) slot_entry_[entries_[p].slot] = p;
  const std::size_t keep_blocks = (out + L - 1) / L;
  blocks_.resize(keep_blocks);
  block_ptrs_.resize(keep_blocks);
  vv_.resize(keep_blocks * L);
  has_nan_.resize(keep_blocks * L);
}

Result<std::vector<SearchResult>, BackendError> BruteForceIndex::search(std::span<const float> query,
                                                                        std::uint64_t top_k,
                                                                        detail::ScoreKernel kernel) const {
  if (top_k == 0) return err(BackendError::invalid_top_k());
  if (count() == 0) return std::vector<SearchResult>{};
  if (query.size() != *dimension_) return err(dimension_mismatch(*dimension_, query.size()));

  const std::size_t n = count();
  const std::size_t k = top_k < n ? static_cast<std::size_t>(top_k) : n;
  if (n <= std::numeric_limits<std::uint32_t>::max()) return select<std::uint32_t>(query, k, kernel);
  return select<std::size_t>(query, k, kernel);
}

template <class Index>
std::vector<SearchResult> BruteForceIndex::select(std::span<const float> query, std::size_t k,
                                                  detail::ScoreKernel kernel) const {
  const std::size_t n = count();
  // Candidates are storage positions: ties are settled by identifier, and
  // those are reached from a position in one step.
  const auto id_at = [this](Index position) { return this->id_at(position); };
  SearchScratch<Index>& scratch = thread_scratch<Index>();
  detail::TopK<Index, decltype(id_at)> top(k, n, id_at, scratch.top);
  if (detail::any_nan(query.data(), query.size())) {
    // A NaN in the query scores 0.0 against everything.
    for (std::size_t position = 0; position < n; ++position) top.offer(0.0f, position);
  } else {
    detail::StandardFpMode mode;
    const float xx = detail::sum_of_squares(query.data(), query.size());
    float* scores = scratch.scores.data();
    const std::size_t* slot_entry = slot_entry_data();
    for (std::size_t b = 0; b < block_ptrs_.size(); b += kChunkBlocks) {
      const std::size_t count = std::min(kChunkBlocks, block_ptrs_.size() - b);
      const detail::ScoreBlocks in{block_ptrs_.data() + b, count, *dimension_, vv_data() + b * L,
                                   nan_data() + b * L};
      detail::score_blocks(kernel, in, query.data(), xx, scores);
      const std::size_t first = b * L, end = std::min(n, (b + count) * L);
      top.offer_all(scores, end - first, [&](std::size_t i) { return slot_entry[first + i]; });
    }
  }
  const auto& picked = top.finish();
  std::vector<SearchResult> results;
  results.reserve(picked.size());
  for (const auto& c : picked) results.push_back({id_text(c.index), c.score()});
  trim(scratch.top);
  return results;
}

Result<std::vector<std::vector<SearchResult>>, BackendError> BruteForceIndex::search_batch(
    const float* queries, std::size_t nq, std::size_t cols, std::uint64_t top_k, detail::ScoreKernel kernel) const {
  if (top_k == 0) return err(BackendError::invalid_top_k());
  if (count() == 0) return std::vector<std::vector<SearchResult>>(nq);
  if (cols != *dimension_) return err(dimension_mismatch(*dimension_, cols));
  if (count() <= std::numeric_limits<std::uint32_t>::max())
    return select_batch<std::uint32_t>(queries, nq, top_k, kernel);
  return select_batch<std::size_t>(queries, nq, top_k, kernel);
}

template <class Index>
std::vector<std::vector<SearchResult>> BruteForceIndex::select_batch(const float* queries, std::size_t nq,
                                                                     std::uint64_t top_k,
                                                                     detail::ScoreKernel kernel) const {
  const std::size_t n = count(), d = *dimension_;
  const std::size_t k = top_k < n ? static_cast<std::size_t>(top_k) : n;
  const auto id_at = [this](Index position) { return this->id_at(position); };
  const std::size_t* slot_entries = slot_entry_data();
  using Top = detail::TopK<Index, decltype(id_at)>;
  // Blocks per pass: together they stay in the core's cache while every
  // query of a group runs over them.
  const std::size_t block_bytes = d * L * sizeof(float);
  const std::size_t chunk = std::clamp<std::size_t>((std::size_t{512} << 10) / std::max<std::size_t>(block_bytes, 1),
                                                    1, kChunkBlocks);
  // Queries per group: their selections' memory stays bounded.
  const std::size_t per_query = (k >= n / 64 ? n : k) * sizeof(detail::Candidate<Index>) + chunk * L * sizeof(float);
  const std::size_t group = std::clamp<std::size_t>((std::size_t{64} << 20) / per_query, 1, 256);

  std::vector<std::vector<SearchResult>> all(nq);
  detail::StandardFpMode mode;
  for (std::size_t q0 = 0; q0 < nq; q0 += group) {
    const std::size_t g = std::min(group, nq - q0);
    std::vector<detail::TopKScratch<Index>> scratch(g);
    std::deque<Top> tops;
    // Queries holding a NaN score 0.0 against everything and skip the
    // kernel: their rows keep the zeros they start with.
    std::vector<float> scores(g * chunk * L, 0.0f);
    std::vector<const float*> xs;
    std::vector<float> xx;
    std::vector<float*> outs;
    std::vector<std::size_t> scanned;
    for (std::size_t q = 0; q < g; ++q) {
      tops.emplace_back(k, n, id_at, scratch[q]);
      const float* x = queries + (q0 + q) * d;
      if (detail::any_nan(x, d)) continue;
      scanned.push_back(q);
      xs.push_back(x);
      xx.push_back(detail::sum_of_squares(x, d));
      outs.push_back(scores.data() + q * chunk * L);
    }
    for (std::size_t b = 0; b < block_ptrs_.size(); b += chunk) {
      const std::size_t count = std::min(chunk, block_ptrs_.size() - b);
      const detail::ScoreBlocks in{block_ptrs_.data() + b, count, d, vv_data() + b * L, nan_data() + b * L};
      detail::score_blocks_multi(kernel, in, xs.data(), xx.data(), xs.size(), outs.data());
      const std::size_t first = b * L, end = std::min(n, (b + count) * L);
      const auto slot_entry = [&](std::size_t i) { return slot_entries[first + i]; };
      for (std::size_t i = 0; i < scanned.size(); ++i) tops[scanned[i]].offer_all(outs[i], end - first, slot_entry);
      for (std::size_t q = 0, s = 0; q < g; ++q) {
        if (s < scanned.size() && scanned[s] == q) {
          ++s;
          continue;
        }
        tops[q].offer_all(scores.data() + q * chunk * L, end - first, slot_entry);
      }
    }
    for (std::size_t q = 0; q < g; ++q) {
      const auto& picked = tops[q].finish();
      auto& results = all[q0 + q];
      results.reserve(picked.size());
      for (const auto& c : picked) results.push_back({id_text(c.index), c.score()});
    }
  }
  return all;
}

Result<std::vector<std::optional<float>>, BackendError> BruteForceIndex::score_ids(
    std::span<const float> query, std::span<const std::string_view> ids) const {
  std::vector<std::optional<float>> scores(ids.size());
  if (count() == 0) return scores;
  const std::size_t d = *dimension_;
  if (query.size() != d) return err(dimension_mismatch(d, query.size()));
  detail::StandardFpMode mode;
  const bool query_nan = detail::any_nan(query.data(), d);
  const float xx = detail::sum_of_squares(query.data(), d);
  // Every id is found first, so that the lookups' cache misses overlap.
  std::vector<std::size_t> wanted, slots;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto found = find_entry(ids[i]);
    if (!found) continue;
    const std::size_t slot = entry_slot(*found);
    if (slot >= count()) continue;  // only a damaged mapped file
    wanted.push_back(i);
    slots.push_back(slot);
  }
  // A vector's values lie one per cache line (a lane of its block), so one
  // vector at a time waits on a single stream of lines; eight at a time keep
  // eight streams in flight. Each sum is still the kernels' arithmetic, in
  // their order, one lane at a time.
  constexpr std::size_t kAtOnce = 8;
  for (std::size_t g = 0; g < slots.size(); g += kAtOnce) {
    const std::size_t m = std::min(kAtOnce, slots.size() - g);
    const float* lane[kAtOnce];
    float dot[kAtOnce] = {};
    for (std::size_t c = 0; c < kAtOnce; ++c) {
      const std::size_t slot = slots[g + (c < m ? c : 0)];  // spare lanes repeat the first
      lane[c] = block_ptrs_[slot / L] + slot % L;
    }
    for (std::size_t j = 0; j < d; ++j) {
      const float qj = query[j];
      for (std::size_t c = 0; c < kAtOnce; ++c) dot[c] = dot[c] + qj * lane[c][j * L];
    }
    for (std::size_t c = 0; c < m; ++c) {
      const std::size_t slot = slots[g + c];
      const float denom = std::sqrt(xx * vv_data()[slot]);
      scores[wanted[g + c]] = (query_nan || nan_data()[slot] != 0 || denom == 0.0f) ? 0.0f : dot[c] / denom;
    }
  }
  return scores;
}

std::optional<std::size_t> BruteForceIndex::find_entry(std::string_view id) const {
  if (column()) return ids_.find(id);
  auto found = positions_.find(id);
  if (found == positions_.end()) return std::nullopt;
  return found->second;
}

BruteForceIndex BruteForceIndex::from_mapping(std::shared_ptr<const void> mapping, std::optional<std::size_t> dimension,
                                              const detail::IdColumn& ids, const std::uint64_t* entry_slot,
                                              const std::uint64_t* slot_entry, const float* vectors,
                                              const float* sums_of_squares, const std::uint8_t* nan_flags) {
  static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
  BruteForceIndex index;
  index.dimension_ = dimension;
  index.mapping_ = mapping;
  index.ids_owner_ = std::move(mapping);
  index.ids_ = ids;
  index.entry_slot_ = entry_slot;
  index.mapped_slot_entry_ = slot_entry;
  index.mapped_vv_ = sums_of_squares;
  index.mapped_nan_ = nan_flags;
  // One pointer per 16 vectors: the only thing an open builds.
  const std::size_t blocks = (ids.n + L - 1) / L;
  index.block_ptrs_.resize(blocks);
  for (std::size_t b = 0; b < blocks; ++b) index.block_ptrs_[b] = vectors + b * dimension.value_or(0) * L;
  return index;
}

BruteForceIndex BruteForceIndex::from_copies(std::size_t dimension, std::shared_ptr<const void> ids_owner,
                                             const detail::IdColumn& ids, std::vector<std::uint64_t> entry_slot,
                                             std::vector<std::uint64_t> slot_entry, Vectors vectors,
                                             std::vector<float> sums_of_squares, std::vector<std::uint8_t> nan_flags) {
  static_assert(std::is_same_v<std::uint64_t, std::size_t>);
  BruteForceIndex index;
  const std::size_t n = ids.n;
  index.dimension_ = dimension;
  const std::size_t blocks = (n + L - 1) / L, floats = dimension * L;
  index.blocks_.reserve(blocks);
  index.block_ptrs_.reserve(blocks);
  for (std::size_t b = 0; b < blocks; ++b) {
    index.blocks_.emplace_back(vectors.get() + b * floats, detail::BlockFree{false});
    index.block_ptrs_.push_back(index.blocks_.back().get());
  }
  index.slab_ = std::move(vectors);
  index.vv_ = std::move(sums_of_squares);
  index.has_nan_ = std::move(nan_flags);
  index.slot_entry_ = std::move(slot_entry);
  index.ids_owner_ = std::move(ids_owner);
  index.ids_ = ids;
  index.owned_entry_slot_ = std::move(entry_slot);
  index.entry_slot_ = index.owned_entry_slot_.data();
  return index;
}

// ---- BruteForceBackend -------------------------------------------------------------

std::optional<Result<Unit, BackendError>> BruteForceBackend::ingest(const IngestPairs& pairs) {
  return mutex_.run([&] { return index_.ingest(pairs); });
}

std::optional<Result<std::vector<SearchResult>, BackendError>> BruteForceBackend::search(std::span<const float> query,
                                                                                        std::uint64_t top_k) {
  return mutex_.run_shared([&] { return index_.search(query, top_k); });
}

std::optional<Result<std::vector<std::vector<SearchResult>>, BackendError>> BruteForceBackend::search_batch(
    const float* queries, std::size_t nq, std::size_t cols, std::uint64_t top_k) {
  return mutex_.run_shared([&] { return index_.search_batch(queries, nq, cols, top_k); });
}

std::optional<Result<std::vector<std::optional<float>>, BackendError>> BruteForceBackend::score_ids(
    std::span<const float> query, std::span<const std::string_view> ids) {
  return mutex_.run_shared([&] { return index_.score_ids(query, ids); });
}

bool BruteForceBackend::remove(std::span<const SharedText> ids) {
  return mutex_
      .run([&] {
        index_.remove(ids);
        return Unit{};
      })
      .has_value();
}

bool BruteForceBackend::clear() {
  return mutex_
      .run([&] {
        index_ = BruteForceIndex{};
        return Unit{};
      })
      .has_value();
}

std::optional<std::size_t> BruteForceBackend::count() {
  return mutex_.run_shared([&] { return index_.count(); });
}

}  // namespace zorvex
