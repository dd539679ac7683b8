#include "core/corpus/stored_vector.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "common/result.hpp"

namespace zorvex {

static_assert(alignof(StoredVector) <= alignof(std::max_align_t));

void StoredVector::Release::operator()(const StoredVector* v) const noexcept {
  if (v->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    v->~StoredVector();
    ::operator delete(const_cast<StoredVector*>(v));
  }
}

StoredVector::Owner StoredVector::make(std::string_view id, const EncodedRecord& record) {
  const std::size_t count = record.indices.size();
  const bool has_residual = static_cast<bool>(record.residual);
  if (has_residual && record.residual.size() != 2 * count) panic("stored residual length differs from 2 * count");
  const std::size_t trailing = id.size() + (has_residual ? 3 : 1) * count;
  void* memory = ::operator new(sizeof(StoredVector) + trailing);
  Owner node(new (memory) StoredVector(id.size(), count, has_residual, record.bit_width));
  std::uint8_t* out = std::ranges::copy(id, node->bytes()).out;
  out = std::ranges::copy(record.indices, out).out;
  if (has_residual) std::ranges::copy(record.residual, out);
  return node;
}

std::shared_ptr<const StoredVector> StoredVector::share() const {
  refs_.fetch_add(1, std::memory_order_relaxed);
  // Should the control block fail to allocate, the deleter drops the count again.
  return std::shared_ptr<const StoredVector>(this, Release{});
}

CompressedVector StoredVector::record(const std::shared_ptr<const StoredVector>& self,
                                      const SharedText& config_hash) const {
  auto made = CompressedVector::make(SharedBytes::alias(self, indices()),
                                     has_residual_ ? SharedBytes::alias(self, residual()) : SharedBytes(),
                                     config_hash, static_cast<std::uint32_t>(index_count_), bit_width_);
  if (!made) panic("stored record no longer valid: " + made.error().message());
  return std::move(made).value();
}

CompressedVector StoredVector::record(const SharedText& config_hash) const { return record(share(), config_hash); }

VectorEntry StoredVector::entry(const CodecConfig& config) const {
  auto self = share();
  CompressedVector compressed = record(self, config.config_hash());
  const std::string_view id = this->id();
  return VectorEntry(SharedBytes::alias(self, std::span(reinterpret_cast<const std::uint8_t*>(id.data()), id.size())),
                     std::move(compressed), config.dimension());
}

}  // namespace zorvex
