#include "core/corpus/vector_id_map.hpp"

#include <algorithm>

namespace zorvex {

VectorIdMap::Slot VectorIdMap::search(std::string_view id) const {
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), id,
                             [&](std::size_t pos, std::string_view key) { return id_less(*entries_[pos].vector_id(), key); });
  bool found = it != sorted_.end() && *entries_[*it].vector_id() == id;
  return {static_cast<std::size_t>(it - sorted_.begin()), found};
}

const VectorEntry* VectorIdMap::find(std::string_view id) const {
  Slot s = search(id);
  return s.found ? &entries_[sorted_[s.sorted]] : nullptr;
}

const VectorEntry* VectorIdMap::scan(std::string_view id) const {
  for (const VectorEntry& e : entries_) {
    if (*e.vector_id() == id) return &e;
  }
  return nullptr;
}

void VectorIdMap::insert(Slot at, VectorEntry entry) {
  // Reserve first: past this point nothing can throw, so the two lists never
  // disagree.
  entries_.reserve(entries_.size() + 1);
  sorted_.reserve(sorted_.size() + 1);
  const std::size_t position = entries_.size();
  entries_.push_back(std::move(entry));
  sorted_.insert(sorted_.begin() + static_cast<std::ptrdiff_t>(at.sorted), position);
}

bool VectorIdMap::remove(std::string_view id) {
  Slot s = search(id);
  if (!s.found) return false;
  const std::size_t position = sorted_[s.sorted];
  sorted_.erase(sorted_.begin() + static_cast<std::ptrdiff_t>(s.sorted));
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  for (std::size_t& p : sorted_) {
    if (p > position) --p;
  }
  return true;
}

}  // namespace zorvex
