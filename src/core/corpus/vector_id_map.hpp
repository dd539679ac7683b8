#pragma once
// The corpus's vectors in insertion order, plus positions into that list kept
// sorted by identifier so lookups are binary searches.
#include <cstddef>
#include <string_view>
#include <vector>

#include "core/corpus/vector_entry.hpp"

namespace zorvex {

// Identifier order: UTF-8 bytes compared as unsigned, a proper prefix first.
// (char_traits<char> compares as unsigned char, so string_view order is it.)
inline bool id_less(std::string_view a, std::string_view b) { return a.compare(b) < 0; }

class VectorIdMap {
 public:
  struct Slot {
    std::size_t sorted;  // lower bound of the identifier in sorted_index()
    bool found;
  };

  Slot search(std::string_view id) const;
  // Binary search.
  const VectorEntry* find(std::string_view id) const;
  // Linear scan in insertion order.
  const VectorEntry* scan(std::string_view id) const;

  // Appends `entry`, whose identifier search() placed at `at` (not found).
  // Either completes or, out of memory, changes nothing.
  void insert(Slot at, VectorEntry entry);
  // False when the identifier is not stored.
  bool remove(std::string_view id);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::vector<VectorEntry>& entries() const { return entries_; }
  const std::vector<std::size_t>& sorted_index() const { return sorted_; }

 private:
  std::vector<VectorEntry> entries_;  // insertion order; the key is each entry's own vector_id
  std::vector<std::size_t> sorted_;   // positions into entries_, ascending by identifier
};

}  // namespace zorvex
