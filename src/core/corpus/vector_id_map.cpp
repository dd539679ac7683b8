#include "core/corpus/vector_id_map.hpp"

#include <array>
#include <exception>
#include <random>
#include <span>
#include <utility>

#include "common/hash.hpp"

namespace zorvex {

namespace {

std::array<std::uint64_t, 2> process_keys() {
  static const std::array<std::uint64_t, 2> keys = [] {
    std::array<std::uint64_t, 2> k{};
    try {
      std::random_device rd;
      for (std::uint64_t& key : k) key = (std::uint64_t{rd()} << 32) | rd();
    } catch (const std::exception&) {
      // No entropy source: fixed keys still hash well, just predictably.
    }
    return k;
  }();
  return keys;
}

std::uint64_t hash_id(std::uint64_t k0, std::uint64_t k1, std::string_view id) {
  return siphash(1, 3, k0, k1, std::span(reinterpret_cast<const std::uint8_t*>(id.data()), id.size()));
}

}  // namespace

VectorIdMap::VectorIdMap() {
  auto keys = process_keys();
  k0_ = keys[0];
  k1_ = keys[1];
}

VectorIdMap::~VectorIdMap() {
  for (StoredVector* v = head_; v;) StoredVector::Release{}(std::exchange(v, v->next_));
}

StoredVector*& VectorIdMap::bucket(std::string_view id) {
  return buckets_[hash_id(k0_, k1_, id) & (buckets_.size() - 1)];
}

StoredVector* const* VectorIdMap::bucket(std::string_view id) const {
  return &buckets_[hash_id(k0_, k1_, id) & (buckets_.size() - 1)];
}

const StoredVector* VectorIdMap::find(std::string_view id) const {
  if (buckets_.empty()) return nullptr;
  for (const StoredVector* v = *bucket(id); v; v = v->chain_) {
    if (v->id() == id) return v;
  }
  return nullptr;
}

void VectorIdMap::reserve_one() {
  if (size_ < buckets_.size()) return;
  std::vector<StoredVector*> grown(buckets_.empty() ? 8 : 2 * buckets_.size(), nullptr);
  buckets_.swap(grown);
  for (StoredVector* v = head_; v; v = v->next_) {
    StoredVector*& head = bucket(v->id());
    v->chain_ = head;
    head = v;
  }
}

void VectorIdMap::insert(StoredVector::Owner node) noexcept {
  StoredVector* v = node.release();
  StoredVector*& head = bucket(v->id());
  v->chain_ = head;
  head = v;
  v->prev_ = tail_;
  v->next_ = nullptr;
  (tail_ ? tail_->next_ : head_) = v;
  tail_ = v;
  ++size_;
}

bool VectorIdMap::remove(std::string_view id) {
  if (buckets_.empty()) return false;
  StoredVector** link = &bucket(id);
  while (*link && (*link)->id() != id) link = &(*link)->chain_;
  StoredVector* v = *link;
  if (!v) return false;
  *link = v->chain_;
  (v->prev_ ? v->prev_->next_ : head_) = v->next_;
  (v->next_ ? v->next_->prev_ : tail_) = v->prev_;
  --size_;
  StoredVector::Release{}(v);
  return true;
}

}  // namespace zorvex
