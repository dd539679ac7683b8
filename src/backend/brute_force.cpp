#include "backend/brute_force.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <utility>

#include "backend/score_fpmode.hpp"
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

// ---- ranking -----------------------------------------------------------------

// Ascending key = descending score. Positions are 32-bit where they fit, to
// halve the bytes the sort moves.
template <class Pos>
struct Keyed {
  std::uint32_t key;
  Pos pos;
};

// Equal scores (-0.0 == +0.0 included) get equal keys.
std::uint32_t descending_key(float score) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
  const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
  return ~ascending;
}

// Stable LSD radix sort on the 32-bit key: 11, 11 and 10 bits, all three
// histograms from one read.
template <class Pos>
void radix_sort(std::vector<Keyed<Pos>>& a, std::vector<Keyed<Pos>>& tmp) {
  constexpr int kShift[3] = {0, 11, 22};
  std::array<std::array<std::size_t, 2048>, 3> count{};
  for (const auto& k : a) {
    ++count[0][k.key & 2047u];
    ++count[1][(k.key >> 11) & 2047u];
    ++count[2][k.key >> 22];
  }
  tmp.resize(a.size());
  for (int pass = 0; pass < 3; ++pass) {
    auto& c = count[static_cast<std::size_t>(pass)];
    if (std::find(c.begin(), c.end(), a.size()) != c.end()) continue;  // one digit value: order kept
    std::size_t sum = 0;
    for (std::size_t& x : c) sum += std::exchange(x, sum);
    const int shift = kShift[pass];
    for (const auto& k : a) tmp[c[(k.key >> shift) & 2047u]++] = k;
    a.swap(tmp);
  }
}

// Stable bottom-up merge sort that needs no consistency from `before`: the
// NaN rule is not a strict weak order, and this stays in bounds regardless.
template <class Before>
void merge_sort(std::vector<std::size_t>& a, Before&& before) {
  const std::size_t n = a.size();
  std::vector<std::size_t> tmp(n);
  for (std::size_t width = 1; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      std::size_t i = lo, j = mid, o = lo;
      while (i < mid && j < hi) tmp[o++] = before(a[j], a[i]) ? a[j++] : a[i++];
      while (i < mid) tmp[o++] = a[i++];
      while (j < hi) tmp[o++] = a[j++];
    }
    a.swap(tmp);
  }
}

// Without NaN the rule is a total order, so sorting by key and then each run
// of equal keys by identifier gives the one possible answer.
template <class Pos, class IdOf>
std::vector<std::size_t> rank_total(const std::vector<float>& scores, std::size_t k, IdOf&& id,
                                    std::vector<Keyed<Pos>>& keyed, std::vector<Keyed<Pos>>& tmp) {
  const std::size_t n = scores.size();
  keyed.resize(n);
  for (std::size_t p = 0; p < n; ++p) keyed[p] = {descending_key(scores[p]), static_cast<Pos>(p)};
  radix_sort(keyed, tmp);
  for (std::size_t lo = 0; lo < n;) {
    std::size_t hi = lo + 1;
    while (hi < n && keyed[hi].key == keyed[lo].key) ++hi;
    if (hi - lo > 1)
      std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(lo), keyed.begin() + static_cast<std::ptrdiff_t>(hi),
                [&](const auto& a, const auto& b) { return id(a.pos) < id(b.pos); });
    lo = hi;
  }
  std::vector<std::size_t> first(k);
  for (std::size_t r = 0; r < k; ++r) first[r] = keyed[r].pos;
  return first;
}

// All positions 0..n-1 sorted into result order; returns the first k.
// `id(p)` is position p's identifier.
template <class IdOf>
std::vector<std::size_t> rank_scores(const std::vector<float>& scores, std::size_t k, IdOf&& id,
                                     std::vector<Keyed<std::uint32_t>>& keyed,
                                     std::vector<Keyed<std::uint32_t>>& tmp) {
  const std::size_t n = scores.size();
  if (std::none_of(scores.begin(), scores.end(), [](float s) { return s != s; })) {
    if (n <= std::numeric_limits<std::uint32_t>::max()) return rank_total(scores, k, id, keyed, tmp);
    std::vector<Keyed<std::size_t>> wide, wide_tmp;
    return rank_total(scores, k, id, wide, wide_tmp);
  }
  std::vector<std::size_t> order(n);
  for (std::size_t p = 0; p < n; ++p) order[p] = p;
  merge_sort(order, [&](std::size_t a, std::size_t b) {
    const float sa = scores[a], sb = scores[b];
    if (sa > sb) return true;
    if (sa < sb) return false;
    return id(a) < id(b);
  });
  order.resize(k);
  return order;
}

}  // namespace

// Working memory of a search, kept between searches so that a large index
// does not fault fresh pages in on every query.
struct BruteForceIndex::Scratch {
  std::vector<float> by_slot;
  std::vector<float> scores;
  std::vector<Keyed<std::uint32_t>> keyed;
  std::vector<Keyed<std::uint32_t>> tmp;
};

void BruteForceIndex::ScratchFree::operator()(Scratch* p) const { delete p; }

// ---- BruteForceIndex -------------------------------------------------------------

std::size_t BruteForceIndex::IdHash::operator()(std::string_view id) const {
  const auto keys = hash_keys();
  return static_cast<std::size_t>(
      siphash(1, 3, keys[0], keys[1],
              std::span(reinterpret_cast<const std::uint8_t*>(id.data()), id.size())));
}

void BruteForceIndex::BlockFree::operator()(float* p) const { ::operator delete(p, kBlockAlign); }

void BruteForceIndex::write_slot(std::size_t slot, const std::vector<float>& v) {
  float* lane = blocks_[slot / L].get() + slot % L;
  for (std::size_t i = 0; i < v.size(); ++i) lane[i * L] = v[i];
  detail::ScoreFpMode mode;
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
    make_room(vv_, L);
    make_room(has_nan_, L);
  }
  positions_.emplace(std::string_view(*id), position);
  if (fresh) {
    blocks_.push_back(std::move(fresh));
    vv_.resize(vv_.size() + L, 0.0f);
    has_nan_.resize(has_nan_.size() + L, 0);
  }
  entries_.push_back({id, slot});
  slot_entry_.push_back(position);
  return slot;
}

Result<Unit, BackendError> BruteForceIndex::ingest(const IngestPairs& pairs) {
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
  vv_.resize(keep_blocks * L);
  has_nan_.resize(keep_blocks * L);
}

Result<std::vector<SearchResult>, BackendError> BruteForceIndex::search(std::span<const float> query,
                                                                        std::uint64_t top_k,
                                                                        detail::ScoreKernel kernel) const {
  if (top_k == 0) return err(BackendError::invalid_top_k());
  if (entries_.empty()) return std::vector<SearchResult>{};
  if (query.size() != *dimension_) return err(dimension_mismatch(*dimension_, query.size()));

  const std::size_t n = entries_.size();
  if (!scratch_) scratch_.reset(new Scratch);
  Scratch& work = *scratch_;
  std::vector<float>& by_slot = work.by_slot;
  by_slot.assign(blocks_.size() * L, 0.0f);
  {
    detail::ScoreFpMode mode;
    // A NaN in the query scores 0.0 against everything, as zeros already say.
    if (!detail::any_nan(query.data(), query.size())) {
      const float xx = detail::sum_of_squares(query.data(), query.size());
      std::vector<const float*> blocks(blocks_.size());
      for (std::size_t b = 0; b < blocks_.size(); ++b) blocks[b] = blocks_[b].get();
      const detail::ScoreBlocks in{blocks.data(), blocks.size(), *dimension_, vv_.data(), has_nan_.data()};
      detail::score_blocks(kernel, in, query.data(), xx, by_slot.data());
    }
  }
  std::vector<float>& scores = work.scores;
  scores.resize(n);
  for (std::size_t p = 0; p < n; ++p) scores[p] = by_slot[entries_[p].slot];
  const std::size_t k = top_k < n ? static_cast<std::size_t>(top_k) : n;
  const std::vector<std::size_t> order = rank_scores(
      scores, k, [&](std::size_t p) { return std::string_view(*entries_[p].id); }, work.keyed, work.tmp);

  std::vector<SearchResult> results;
  results.reserve(k);
  for (std::size_t r = 0; r < k; ++r) results.push_back({entries_[order[r]].id, scores[order[r]]});
  return results;
}

// ---- BruteForceBackend -------------------------------------------------------------

std::optional<Result<Unit, BackendError>> BruteForceBackend::ingest(const IngestPairs& pairs) {
  return mutex_.run([&] { return index_.ingest(pairs); });
}

std::optional<Result<std::vector<SearchResult>, BackendError>> BruteForceBackend::search(std::span<const float> query,
                                                                                        std::uint64_t top_k) {
  return mutex_.run([&] { return index_.search(query, top_k); });
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
  return mutex_.run([&] { return index_.count(); });
}

}  // namespace zorvex
