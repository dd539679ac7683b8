#pragma once
// The corpus's stored vectors: insertion order as a doubly-linked list through
// the nodes, and a chained hash index over the identifiers, so every lookup,
// insertion and removal costs the same whatever the count. Identifier order is
// only needed by decompress_all, which sorts.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/corpus/stored_vector.hpp"

namespace zorvex {

// Identifier order: UTF-8 bytes compared as unsigned, a proper prefix first.
// (char_traits<char> compares as unsigned char, so string_view order is it.)
inline bool id_less(std::string_view a, std::string_view b) { return a.compare(b) < 0; }

class VectorIdMap {
 public:
  VectorIdMap();
  ~VectorIdMap();
  VectorIdMap(const VectorIdMap&) = delete;
  VectorIdMap& operator=(const VectorIdMap&) = delete;

  const StoredVector* find(std::string_view id) const;

  // Makes room for one more vector so that the next insert cannot fail. May
  // allocate; changes nothing observable.
  void reserve_one();
  // `node`'s identifier is not stored and reserve_one() has run.
  void insert(StoredVector::Owner node) noexcept;
  // False when the identifier is not stored.
  bool remove(std::string_view id);

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Visits every vector in insertion order.
  template <class F>
  void for_each(F&& f) const {
    for (const StoredVector* v = head_; v; v = v->next_) f(*v);
  }

 private:
  StoredVector*& bucket(std::string_view id);
  StoredVector* const* bucket(std::string_view id) const;

  // Keys drawn once per process: chosen identifiers cannot pile into one chain.
  std::uint64_t k0_, k1_;
  std::vector<StoredVector*> buckets_;  // power-of-two count, at least size_
  StoredVector* head_ = nullptr;
  StoredVector* tail_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zorvex
