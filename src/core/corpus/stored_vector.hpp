#pragma once
// One stored vector as the corpus keeps it: the links of the map that holds
// it, then the identifier, index and residual bytes, all in one allocation.
// Entries and records handed out alias the node, so copies cost no byte
// copies and a removed vector lives on while copies exist.
//
// The node counts its references itself rather than through a make_shared
// block: the map's reference then costs 4 bytes instead of a 16-byte owning
// pointer plus 16 of control block. Each hand-out pays one small control block
// instead, which dies with the copy.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/codec/compressed_vector.hpp"
#include "core/codec/config.hpp"
#include "core/corpus/policy.hpp"
#include "core/corpus/vector_entry.hpp"

namespace zorvex {

class StoredVector {
 public:
  // Drops one reference; the last frees the node.
  struct Release {
    void operator()(const StoredVector* v) const noexcept;
  };
  // The first reference: the one the map keeps while the vector is stored.
  using Owner = std::unique_ptr<StoredVector, Release>;

  static Owner make(std::string_view id, const EncodedRecord& record);

  StoredVector(const StoredVector&) = delete;
  StoredVector& operator=(const StoredVector&) = delete;

  std::string_view id() const { return {reinterpret_cast<const char*>(bytes()), id_size_}; }
  // The stored record, sharing this node's bytes; `config_hash` is the one
  // every record of the corpus carries.
  CompressedVector record(const SharedText& config_hash) const;
  // The entry handed out: its vector_id and indices are this node's.
  VectorEntry entry(const CodecConfig& config) const;

 private:
  friend class VectorIdMap;

  StoredVector(std::size_t id_size, std::size_t index_count, bool has_residual, std::uint8_t bit_width)
      : id_size_(id_size), index_count_(index_count), bit_width_(bit_width), has_residual_(has_residual) {}
  ~StoredVector() = default;

  // The trailing bytes: identifier, indices, then 2 bytes per index of residual.
  const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(this + 1); }
  std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(this + 1); }
  std::span<const std::uint8_t> indices() const { return {bytes() + id_size_, index_count_}; }
  std::span<const std::uint8_t> residual() const { return {bytes() + id_size_ + index_count_, 2 * index_count_}; }

  std::shared_ptr<const StoredVector> share() const;
  CompressedVector record(const std::shared_ptr<const StoredVector>& self, const SharedText& config_hash) const;

  // Owned by the VectorIdMap and touched only under the corpus lock.
  StoredVector* prev_ = nullptr;   // insertion order
  StoredVector* next_ = nullptr;
  StoredVector* chain_ = nullptr;  // next node of the same hash bucket
  const std::size_t id_size_;
  const std::size_t index_count_;
  mutable std::atomic<std::uint32_t> refs_{1};
  const std::uint8_t bit_width_;
  const bool has_residual_;
};

}  // namespace zorvex
