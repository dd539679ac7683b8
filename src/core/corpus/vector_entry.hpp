#pragma once
// One stored vector. Immutable: copies share the identifier and the record's
// buffers, so handing one out costs no byte copies.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "common/shared_bytes.hpp"
#include "core/codec/compressed_vector.hpp"

namespace zorvex {

class VectorEntry {
 public:
  // `dimension` is the configuration's: the number of floats stored, which
  // differs from compressed.dimension() under PASSTHROUGH and FP16.
  // `vector_id` holds the identifier's UTF-8 bytes.
  VectorEntry(SharedBytes vector_id, CompressedVector compressed, std::uint32_t dimension)
      : vector_id_(std::move(vector_id)), compressed_(std::move(compressed)), dimension_(dimension) {}

  std::string_view vector_id() const {
    return {reinterpret_cast<const char*>(vector_id_.data()), vector_id_.size()};
  }
  const CompressedVector& compressed() const { return compressed_; }
  const SharedText& config_hash() const { return compressed_.config_hash(); }
  std::uint32_t dimension() const { return dimension_; }
  bool has_residual() const { return compressed_.has_residual(); }

  // VectorEntry(vector_id="doc-1", dimension=768, has_residual=True)
  std::string repr() const;

 private:
  SharedBytes vector_id_;
  CompressedVector compressed_;
  std::uint32_t dimension_;
};

}  // namespace zorvex
