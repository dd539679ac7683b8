#include "core/corpus/stored_vector.hpp"

#include <utility>

#include "common/result.hpp"

namespace zorvex {

void StoredVector::Release::operator()(const StoredVector* v) const noexcept {
  if (v->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete v;
}

StoredVector::Owner StoredVector::make(std::string_view id, EncodedRecord record) {
  return Owner(new StoredVector(id, std::move(record)));
}

std::shared_ptr<const StoredVector> StoredVector::share() const {
  refs_.fetch_add(1, std::memory_order_relaxed);
  // Should the control block fail to allocate, the deleter drops the count again.
  return std::shared_ptr<const StoredVector>(this, Release{});
}

CompressedVector StoredVector::record(const std::shared_ptr<const StoredVector>& self,
                                      const SharedText& config_hash) const {
  auto made = CompressedVector::make(SharedBytes(self, &indices_), residual_, config_hash,
                                     static_cast<std::uint32_t>(indices_.size()), bit_width_);
  if (!made) panic("stored record no longer valid: " + made.error().message());
  return std::move(made).value();
}

CompressedVector StoredVector::record(const SharedText& config_hash) const { return record(share(), config_hash); }

VectorEntry StoredVector::entry(const CodecConfig& config) const {
  auto self = share();
  CompressedVector compressed = record(self, config.config_hash());
  return VectorEntry(SharedText(self, &id_), std::move(compressed), config.dimension());
}

}  // namespace zorvex
