#pragma once
// One stored vector as the corpus keeps it: identifier text, record bytes and
// the links of the map that holds it, in a single allocation. Entries handed
// out alias the node (its text and bytes are their vector_id and indices), so
// copies cost no byte copies and a removed vector lives on while copies exist.
//
// The node counts its references itself rather than through a make_shared
// block: the map's reference then costs 4 bytes instead of a 16-byte owning
// pointer plus 16 of control block. Each hand-out pays one small control block
// instead, which dies with the copy.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

  static Owner make(std::string_view id, EncodedRecord record);

  StoredVector(const StoredVector&) = delete;
  StoredVector& operator=(const StoredVector&) = delete;

  const std::string& id() const { return id_; }
  // The stored record, sharing this node's bytes; `config_hash` is the one
  // every record of the corpus carries.
  CompressedVector record(const SharedText& config_hash) const;
  // The entry handed out: its vector_id and indices are this node's.
  VectorEntry entry(const CodecConfig& config) const;

 private:
  friend class VectorIdMap;

  StoredVector(std::string_view id, EncodedRecord record)
      : id_(id), indices_(std::move(record.indices)), residual_(std::move(record.residual)),
        bit_width_(record.bit_width) {}
  ~StoredVector() = default;

  std::shared_ptr<const StoredVector> share() const;
  CompressedVector record(const std::shared_ptr<const StoredVector>& self, const SharedText& config_hash) const;

  const std::string id_;
  const std::vector<std::uint8_t> indices_;
  const SharedBytes residual_;
  // Owned by the VectorIdMap and touched only under the corpus lock.
  StoredVector* prev_ = nullptr;   // insertion order
  StoredVector* next_ = nullptr;
  StoredVector* chain_ = nullptr;  // next node of the same hash bucket
  mutable std::atomic<std::uint32_t> refs_{1};
  const std::uint8_t bit_width_;
};

}  // namespace zorvex
