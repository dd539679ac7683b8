#include "backend/code_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <type_traits>

#include "backend/code_scan.hpp"
#include "backend/scan_rotation.hpp"
#include "backend/score_kernels.hpp"
#include "backend/top_k.hpp"
#include "common/fp_mode.hpp"
#include "common/quote_id.hpp"
#include "core/codec/batch.hpp"
#include "core/codec/half.hpp"
#include "core/codec/rotation_batch.hpp"
#include "core/codec/rotation_matrix.hpp"

namespace zorvex {

namespace {

using Kind = CodeSearchError::Kind;

CodeSearchError fail(Kind kind, std::string message) { return {kind, std::move(message)}; }

std::string quoted(const SharedText& id) { return quote_id(*id); }

// Capacity for `total` elements, grown geometrically so that adding one
// vector at a time costs amortised constant time.
template <class V>
void grow_to(V& v, std::size_t total) {
  if (v.capacity() < total) v.reserve(std::max(total, 2 * v.capacity()));
  v.resize(total, typename V::value_type{});  // zeros: unused lanes always hold them
}

// Codes scanned per pass: small enough to stay in the core's cache while
// every query of a batch runs over them.
constexpr std::size_t kPassBytes = std::size_t{256} << 10;
// and few enough vectors that every query's scores of a pass stay small.
constexpr std::size_t kPassVectors = 4096;

double round_half_up(double x) { return std::floor(x + 0.5); }

// clamp(round_half_up(x), 0, levels) as a byte, NaN as 0. With y = x + 0.5,
// floor(y) and trunc(y) differ only below 0, where both clamp to 0; and
// trunc(min(y, levels)) = min(trunc(y), levels) for y >= 0 since levels is
// whole. So no floor() and no branch: the compiler vectorises a row of these.
inline std::uint8_t table_step(double x, double levels) {
  const double y = x + 0.5;
  return y >= 0.0 ? static_cast<std::uint8_t>(static_cast<int>(std::min(y, levels))) : 0;
}

// A fixed row length lets the compiler keep a row in vectors.
template <std::size_t K>
void fill_tables(const float* q, std::size_t d, const float* entries, const double* lo, double delta, double levels,
                 std::uint8_t* t) {
  double e[K];
  for (std::size_t c = 0; c < K; ++c) e[c] = entries[c];
  for (std::size_t i = 0; i < d; ++i) {
    const double v = q[i], low = lo[i];
    for (std::size_t c = 0; c < K; ++c) t[i * K + c] = table_step((v * e[c] - low) / delta, levels);
  }
}

CodeSearchError no_residuals() {
  return fail(Kind::Value,
              "re-ranking needs exact vectors: this backend keeps no residuals (its configuration has "
              "residual_enabled=False); pass exact=<a BruteForceBackend holding the same ids>");
}

}  // namespace

// Per query: the tables (or weights) of the scan and the score's affine map.
struct CompressedIndex::Plan {
  bool zero = false;  // every score is 0.0
  std::vector<std::uint8_t> tables;
  std::vector<std::int8_t> weights;
  double a = 0.0, b = 0.0;
};

// ---- construction and storage -------------------------------------------------

CompressedIndex::CompressedIndex(CodecConfig config, Codebook codebook)
    : config_(std::move(config)), codebook_(std::move(codebook)), d_(config_.dimension()), bits_(config_.bit_width()) {
  if (bits_ == 8) {
    block_vectors_ = detail::kByteBlock;
    rows_ = (d_ + 3) / 4;
    block_bytes_ = rows_ * detail::kByteRow;
    const auto entries = codebook_.entries();
    double top = 0.0;
    for (float e : entries) top = std::max(top, std::fabs(static_cast<double>(e)));
    value_step_ = top / 127.0;
    for (std::size_t c = 0; c < entries.size(); ++c)
      values_[c] = static_cast<std::int8_t>(round_half_up(static_cast<double>(entries[c]) / value_step_));
  } else {
    block_vectors_ = detail::kNibbleBlock;
    const std::size_t groups = bits_ == 4 ? d_ : (d_ + 1) / 2;
    rows_ = (groups + 3) / 4 * 4;
    block_bytes_ = rows_ * detail::kNibbleRow;
  }
}

Result<CompressedIndex, CodeSearchError> CompressedIndex::make(CodecConfig config, Codebook codebook) {
  if (codebook.bit_width() != config.bit_width()) {
    return err(fail(Kind::Value, "the codebook has bit width " + std::to_string(codebook.bit_width()) +
                                     "; the configuration wants " + std::to_string(config.bit_width())));
  }
  const auto entries = codebook.entries();
  for (std::size_t c = 0; c < entries.size(); ++c) {
    if (!std::isfinite(entries[c])) {
      return err(fail(Kind::Value, "codebook entry " + std::to_string(c) + " is " +
                                       (std::isnan(entries[c]) ? "NaN" : "infinite") +
                                       "; searching codes needs finite entries"));
    }
  }
  return CompressedIndex(std::move(config), std::move(codebook));
}

std::size_t CompressedIndex::memory_bytes() const {
  // Identifiers: the shared string with its control block, its heap text
  // when longer than the inline buffer, and the hash-map node.
  constexpr std::size_t kIdFixed = 48 + 32, kInline = 15;
  std::size_t ids = 0;
  for (const SharedText& id : slot_ids_) ids += kIdFixed + (id->size() > kInline ? id->capacity() + 1 : 0);
  // A loaded copy's identifier tables (a mapping's are the file's).
  if (column() && !mapping_) ids += (2 * ids_.n + 1) * sizeof(std::uint64_t) + ids_.total;
  return sizeof(*this) + codes_.capacity() + inv_norm_.capacity() * sizeof(double) +
         residuals_.capacity() * sizeof(std::uint16_t) + slot_ids_.capacity() * sizeof(SharedText) +
         positions_.bucket_count() * sizeof(void*) + ids;
}

std::uint8_t CompressedIndex::code_at(std::size_t slot, std::size_t i) const {
  const std::uint8_t* block = codes_data() + slot / block_vectors_ * block_bytes_;
  const std::size_t k = slot % block_vectors_;
  if (bits_ == 8) return block[i / 4 * detail::kByteRow + 4 * k + i % 4];
  const std::size_t group = bits_ == 4 ? i : i / 2;
  const std::uint8_t byte = block[group * detail::kNibbleRow + k % 16];
  const std::uint8_t nibble = k < 16 ? byte & 15u : byte >> 4;
  return bits_ == 4 ? nibble : (nibble >> (2 * (i % 2))) & 3u;
}

void CompressedIndex::write_codes(std::size_t slot, const std::uint8_t* codes) {
  std::uint8_t* block = codes_.data() + slot / block_vectors_ * block_bytes_;
  const std::size_t k = slot % block_vectors_;
  if (bits_ == 8) {
    for (std::size_t i = 0; i < d_; ++i) block[i / 4 * detail::kByteRow + 4 * k + i % 4] = codes[i];
    return;
  }
  const std::size_t groups = bits_ == 4 ? d_ : (d_ + 1) / 2;
  const unsigned shift = k < 16 ? 0 : 4;
  for (std::size_t j = 0; j < groups; ++j) {
    unsigned nibble = codes[bits_ == 4 ? j : 2 * j];
    if (bits_ == 2 && 2 * j + 1 < d_) nibble |= static_cast<unsigned>(codes[2 * j + 1]) << 2;
    std::uint8_t& byte = block[j * detail::kNibbleRow + k % 16];
    byte = static_cast<std::uint8_t>((byte & (0xF0u >> shift)) | (nibble << shift));
  }
}

void CompressedIndex::write_slot(std::size_t slot, const CompressedVector& record) {
  const std::uint8_t* codes = record.indices().data();
  write_codes(slot, codes);
  const auto entries = codebook_.entries();
  double rr = 0.0;
  for (std::size_t i = 0; i < d_; ++i) {
    const double e = entries[codes[i]];
    rr = rr + e * e;
  }
  inv_norm_[slot] = rr > 0.0 ? 1.0 / std::sqrt(rr) : 0.0;
  if (has_residuals()) {
    const std::uint8_t* r = record.residual().data();
    for (std::size_t i = 0; i < d_; ++i)
      residuals_[slot * d_ + i] = static_cast<std::uint16_t>(r[2 * i] | (r[2 * i + 1] << 8));
  }
}

void CompressedIndex::move_slot(std::size_t from, std::size_t to) {
  std::vector<std::uint8_t> codes(d_);
  for (std::size_t i = 0; i < d_; ++i) codes[i] = code_at(from, i);
  write_codes(to, codes.data());
  inv_norm_[to] = inv_norm_[from];
  if (has_residuals())
    std::copy_n(residuals_.begin() + static_cast<std::ptrdiff_t>(from * d_), d_,
                residuals_.begin() + static_cast<std::ptrdiff_t>(to * d_));
  slot_ids_[to] = slot_ids_[from];
  positions_.find(std::string_view(*slot_ids_[to]))->second = to;
}

void CompressedIndex::reserve_slots(std::size_t total) {
  const std::size_t blocks = (total + block_vectors_ - 1) / block_vectors_;
  if (blocks * block_bytes_ > codes_.size()) grow_to(codes_, blocks * block_bytes_);
  if (blocks * block_vectors_ > inv_norm_.size()) grow_to(inv_norm_, blocks * block_vectors_);
  if (has_residuals() && total * d_ > residuals_.size()) grow_to(residuals_, total * d_);
  slot_ids_.reserve(total);
  positions_.reserve(total);
}

Result<Unit, CodeSearchError> CompressedIndex::ingest(const IngestPairs& vectors) {
  std::vector<float> rows(vectors.size() * d_);
  for (std::size_t r = 0; r < vectors.size(); ++r) {
    const auto& [id, v] = vectors[r];
    if (v.size() != d_) {
      return err(fail(Kind::Dimension, "vector " + quoted(id) + " has " + std::to_string(v.size()) +
                                           " values; this backend's configuration has dimension " +
                                           std::to_string(d_)));
    }
    std::copy(v.begin(), v.end(), rows.begin() + static_cast<std::ptrdiff_t>(r * d_));
  }
  auto records = compress_batch(rows.data(), vectors.size(), d_, config_, codebook_);
  if (!records) panic("compressing checked vectors failed: " + records.error().message());
  RecordPairs pairs;
  pairs.reserve(vectors.size());
  for (std::size_t r = 0; r < vectors.size(); ++r) pairs.emplace_back(vectors[r].first, std::move((*records)[r]));
  return ingest_records(pairs);
}

Result<Unit, CodeSearchError> CompressedIndex::ingest_records(const RecordPairs& records) {
  if (mapping_) panic("a mapped index cannot change");
  const std::uint32_t entries = codebook_.num_entries();
  for (const auto& [id, record] : records) {
    if (*record.config_hash() != *config_.config_hash()) {
      return err(fail(Kind::Config, "record " + quoted(id) + " was made with configuration " + *record.config_hash() +
                                        "; this backend holds " + *config_.config_hash()));
    }
    if (record.dimension() != d_ || record.indices().size() != d_ || record.bit_width() != bits_) {
      return err(fail(Kind::Dimension, "record " + quoted(id) + " has " + std::to_string(record.indices().size()) +
                                           " codes of " + std::to_string(record.bit_width()) +
                                           " bits; this backend wants " + std::to_string(d_) + " of " +
                                           std::to_string(bits_)));
    }
    if (record.has_residual() != has_residuals()) {
      return err(fail(Kind::Value, "record " + quoted(id) + (record.has_residual() ? " has" : " has no") +
                                       " residual; this backend's configuration keeps " +
                                       (has_residuals() ? "one" : "none")));
    }
    if (has_residuals() && record.residual().size() != 2 * d_) {
      return err(fail(Kind::Value, "record " + quoted(id) + " has a residual of " +
                                       std::to_string(record.residual().size()) + " bytes; wanted " +
                                       std::to_string(2 * d_)));
    }
    const auto codes = record.indices().span();
    const auto bad = std::find_if(codes.begin(), codes.end(), [&](std::uint8_t c) { return c >= entries; });
    if (bad != codes.end()) {
      return err(fail(Kind::Value, "record " + quoted(id) + " has code " + std::to_string(*bad) + " at coordinate " +
                                       std::to_string(bad - codes.begin()) + "; the codebook has " +
                                       std::to_string(entries) + " entries"));
    }
  }
  // Everything that can fail to allocate happens before the first change.
  if (!records.empty()) materialize();
  reserve_slots(slot_ids_.size() + records.size());
  for (const auto& [id, record] : records) {
    auto found = positions_.find(std::string_view(*id));
    std::size_t slot;
    if (found != positions_.end()) {
      slot = found->second;
    } else {
      slot = slot_ids_.size();
      slot_ids_.push_back(id);
      positions_.emplace(std::string_view(*id), slot);
    }
    write_slot(slot, record);
  }
  return Unit{};
}

void CompressedIndex::remove(std::span<const SharedText> ids) {
  if (mapping_) panic("a mapped index cannot change");
  if (column()) {
    if (std::none_of(ids.begin(), ids.end(), [&](const SharedText& id) { return ids_.find(*id).has_value(); })) return;
    materialize();
  }
  bool removed = false;
  for (const SharedText& id : ids) {
    auto found = positions_.find(std::string_view(*id));
    if (found == positions_.end()) continue;
    const std::size_t slot = found->second, last = slot_ids_.size() - 1;
    positions_.erase(found);
    if (slot != last) move_slot(last, slot);
    // The freed lane goes back to zeros, as unused lanes always are.
    const std::vector<std::uint8_t> zeros(d_, 0);
    write_codes(last, zeros.data());
    slot_ids_.pop_back();
    removed = true;
  }
  if (!removed) return;
  const std::size_t n = slot_ids_.size();
  const std::size_t blocks = (n + block_vectors_ - 1) / block_vectors_;
  codes_.resize(blocks * block_bytes_);
  inv_norm_.resize(blocks * block_vectors_);
  for (std::size_t s = n; s < inv_norm_.size(); ++s) inv_norm_[s] = 0.0;
  if (has_residuals()) residuals_.resize(n * d_);
}

void CompressedIndex::adopt_arrays(std::shared_ptr<const void> ids_owner, const detail::IdColumn& ids,
                                   LargeVector<std::uint8_t> codes, LargeVector<double> inv,
                                   LargeVector<std::uint16_t> residuals) {
  codes_ = std::move(codes);
  inv_norm_ = std::move(inv);
  residuals_ = std::move(residuals);
  slot_ids_ = {};
  positions_ = {};
  ids_owner_ = std::move(ids_owner);
  ids_ = ids;
}

// Built whole before anything is replaced, so a failed allocation leaves
// the index as it was.
void CompressedIndex::materialize() {
  if (!column() || mapping_) return;
  auto index = detail::index_ids(ids_);
  slot_ids_ = std::move(index.texts);
  positions_ = std::move(index.positions);
  ids_owner_.reset();
  ids_ = {};
}

void CompressedIndex::map_arrays(std::shared_ptr<const void> mapping, const detail::IdColumn& ids,
                                 const std::uint8_t* codes, const double* inv, const std::uint16_t* residuals) {
  mapping_ = mapping;
  ids_owner_ = std::move(mapping);
  ids_ = ids;
  mapped_codes_ = codes;
  mapped_inv_ = inv;
  mapped_residuals_ = residuals;
}

void CompressedIndex::clear() {
  if (mapping_) panic("a mapped index cannot change");
  ids_owner_.reset();
  ids_ = {};
  codes_ = {};
  inv_norm_ = {};
  residuals_ = {};
  positions_ = {};
  slot_ids_ = {};
}

// ---- search ---------------------------------------------------------------------

CompressedIndex::Plan CompressedIndex::plan(const float* q) const {
  Plan p;
  double qq = 0.0, top = 0.0;
  for (std::size_t i = 0; i < d_; ++i) {
    if (!std::isfinite(q[i])) {
      p.zero = true;
      return p;
    }
    const double v = q[i];
    qq = qq + v * v;
    top = std::max(top, std::fabs(v));
  }
  if (qq == 0.0) {
    p.zero = true;
    return p;
  }
  const double norm = std::sqrt(qq);
  if (bits_ == 8) {
    const double step = top / 127.0;
    p.weights.assign(rows_ * 4, 0);
    for (std::size_t i = 0; i < d_; ++i) p.weights[i] = static_cast<std::int8_t>(round_half_up(q[i] / step));
    p.a = step * value_step_ / norm;
    return p;
  }
  const auto entries = codebook_.entries();
  const std::size_t K = entries.size();
  const double levels = bits_ == 4 ? 255.0 : 127.0;
  std::vector<double> lo(d_);
  double delta = 0.0, sum_lo = 0.0;
  for (std::size_t i = 0; i < d_; ++i) {
    const double v = q[i];
    const double first = v * entries[0], last = v * entries[K - 1];
    lo[i] = std::min(first, last);
    delta = std::max(delta, std::max(first, last) - lo[i]);
    sum_lo = sum_lo + lo[i];
  }
  delta = delta / levels;
  // t[i][c]: coordinate i's table, entries rounded to whole steps above lo.
  std::vector<std::uint8_t> t(d_ * K);
  if (K == 16)
    fill_tables<16>(q, d_, entries.data(), lo.data(), delta, levels, t.data());
  else
    fill_tables<4>(q, d_, entries.data(), lo.data(), delta, levels, t.data());
  p.tables.assign(rows_ * 16, 0);
  if (bits_ == 4) {
    std::copy(t.begin(), t.end(), p.tables.begin());
  } else {
    for (std::size_t i = 0; i < d_; i += 2) {
      for (unsigned c = 0; c < 16; ++c) {
        unsigned v = t[i * 4 + (c & 3u)];
        if (i + 1 < d_) v += t[(i + 1) * 4 + (c >> 2)];
        p.tables[i / 2 * 16 + c] = static_cast<std::uint8_t>(v);
      }
    }
  }
  p.a = delta / norm;
  p.b = sum_lo / norm;
  return p;
}

void CompressedIndex::scan(std::span<const Plan> plans, std::size_t block0, std::size_t nblocks, detail::Isa form,
                           ScanSums& sums, float* scores) const {
  const std::size_t n = nblocks * block_vectors_;
  const std::uint8_t* blocks = codes_data() + block0 * block_bytes_;
  const double* inv = inv_data() + block0 * block_vectors_;
  // The queries that need the kernel; the rest score 0.0 throughout.
  std::vector<std::size_t> live;
  for (std::size_t q = 0; q < plans.size(); ++q) {
    if (plans[q].zero) {
      std::fill_n(scores + q * n, n, 0.0f);
    } else {
      live.push_back(q);
    }
  }
  // A pass's norms are a short stream of their own that the hardware picks up
  // late; asked for now, they arrive while the kernel reads the codes.
  for (std::size_t v = 0; v < n; v += 64 / sizeof(double)) __builtin_prefetch(inv + v);
  auto finish = [&](const Plan& p, const auto* s, float* out) { detail::finish_scores(form, p.a, p.b, s, inv, n, out); };
  auto run_kernel = [&](auto& buffer, auto&& kernel) {
    using Sum = typename std::remove_reference_t<decltype(buffer)>::value_type;
    buffer.resize(live.size() * n);
    std::vector<Sum*> outs(live.size());
    for (std::size_t i = 0; i < live.size(); ++i) outs[i] = buffer.data() + i * n;
    kernel(outs.data());
    for (std::size_t i = 0; i < live.size(); ++i) finish(plans[live[i]], outs[i], scores + live[i] * n);
  };
  if (bits_ == 8) {
    std::vector<const std::int8_t*> weights(live.size());
    for (std::size_t i = 0; i < live.size(); ++i) weights[i] = plans[live[i]].weights.data();
    run_kernel(sums.bytes, [&](std::int32_t* const* outs) {
      detail::scan_bytes_multi(form, blocks, nblocks, rows_, weights.data(), values_, outs, live.size());
    });
  } else {
    std::vector<const std::uint8_t*> tables(live.size());
    for (std::size_t i = 0; i < live.size(); ++i) tables[i] = plans[live[i]].tables.data();
    run_kernel(sums.nibbles, [&](std::uint32_t* const* outs) {
      detail::scan_nibbles_multi(form, blocks, nblocks, rows_, tables.data(), outs, live.size());
    });
  }
}

Result<std::vector<float>, CodeSearchError> CompressedIndex::rescore(const float* query, const float* rotated,
                                                                     std::span<const std::size_t> slots,
                                                                     BruteForceBackend* exact) const {
  if (exact) {
    std::vector<std::string_view> ids(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) ids[i] = slot_id(slots[i]);
    auto scored = exact->score_ids(std::span(query, d_), ids);
    if (!scored) panic("backend mutex poisoned");
    if (!*scored) return err(fail(Kind::Dimension, "the exact backend: " + scored->error().message()));
    std::vector<float> scores(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
      const auto& s = (**scored)[i];
      if (!s) {
        return err(fail(Kind::Key, "the exact backend holds no vector " + quote_id(slot_id(slots[i])) +
                                       "; it must hold every id this backend holds"));
      }
      scores[i] = *s;
    }
    return scores;
  }
  if (!has_residuals()) return err(no_residuals());
  // The exact backend's arithmetic on the rotated query and the
  // reconstruction with its residual (the codec's rotated-space values).
  detail::StandardFpMode mode;
  const bool query_nan = detail::any_nan(rotated, d_);
  const float xx = detail::sum_of_squares(rotated, d_);
  const auto entries = codebook_.entries();
  std::vector<float> r(d_), scores(slots.size());
  for (std::size_t s = 0; s < slots.size(); ++s) {
    const std::size_t slot = slots[s];
    const std::uint16_t* res = residuals_data() + slot * d_;
    for (std::size_t i = 0; i < d_; ++i) r[i] = f16_to_f32(res[i]) + entries[code_at(slot, i)];
    float dot = 0.0f;
    for (std::size_t i = 0; i < d_; ++i) dot = dot + rotated[i] * r[i];
    const float denom = std::sqrt(xx * detail::sum_of_squares(r.data(), d_));
    scores[s] = (query_nan || detail::any_nan(r.data(), d_) || denom == 0.0f) ? 0.0f : dot / denom;
  }
  return scores;
}

Result<std::vector<std::vector<SearchResult>>, CodeSearchError> CompressedIndex::search(
    const float* queries, std::size_t nq, std::size_t cols, const CodeSearchOptions& options, detail::Isa form) const {
  if (options.top_k == 0) return err(fail(Kind::Value, "top_k must be at least 1; got 0"));
  if (cols != d_) {
    return err(fail(Kind::Dimension, "queries have " + std::to_string(cols) +
                                         " values; this backend's configuration has dimension " +
                                         std::to_string(d_)));
  }
  // Refused up front, empty or not, so the mistake shows on the first call.
  if (options.rerank > 0 && !options.exact && !has_residuals()) return err(no_residuals());
  if (count() == 0 || nq == 0) return std::vector<std::vector<SearchResult>>(nq);
  std::vector<float> rotated(nq * d_), codec_rotated;
  detail::ScanRotation::get(config_.seed(), config_.dimension()).apply(form, queries, nq, rotated.data());
  if (options.rerank > 0 && !options.exact) {
    codec_rotated.resize(nq * d_);
    const RotationMatrix rotation = RotationMatrix::get(config_.seed(), config_.dimension());
    detail::rotation_forward_many(detail::rotation_kernel_active(), rotation.data(), d_, queries, nq,
                                  codec_rotated.data());
  }
  const float* codec = codec_rotated.empty() ? nullptr : codec_rotated.data();
  if (count() <= std::numeric_limits<std::uint32_t>::max())
    return run<std::uint32_t>(queries, rotated.data(), codec, nq, options, form);
  return run<std::size_t>(queries, rotated.data(), codec, nq, options, form);
}

template <class Index>
Result<std::vector<std::vector<SearchResult>>, CodeSearchError> CompressedIndex::run(
    const float* queries, const float* rotated, const float* codec_rotated, std::size_t nq,
    const CodeSearchOptions& options, detail::Isa form) const {
  const std::size_t n = count();
  const std::size_t k = options.top_k < n ? static_cast<std::size_t>(options.top_k) : n;
  const std::size_t wanted = std::max<std::uint64_t>(options.top_k, options.rerank);
  const std::size_t candidates = options.rerank > 0 ? std::min<std::size_t>(wanted, n) : k;
  const auto id_at = [this](Index slot) { return slot_id(slot); };
  using Top = detail::TopK<Index, decltype(id_at)>;

  const std::size_t blocks = (n + block_vectors_ - 1) / block_vectors_;
  const std::size_t pass =
      std::clamp<std::size_t>(std::min(kPassBytes / block_bytes_, kPassVectors / block_vectors_), 1, blocks);
  const std::size_t per_query = (candidates >= n / 64 ? n : candidates) * sizeof(detail::Candidate<Index>) +
                                pass * block_vectors_ * sizeof(float) + rows_ * 64;
  const std::size_t group = std::clamp<std::size_t>((std::size_t{64} << 20) / per_query, 1, 256);

  std::vector<std::vector<SearchResult>> all(nq);
  std::vector<float> scores;
  ScanSums sums;
  for (std::size_t q0 = 0; q0 < nq; q0 += group) {
    const std::size_t g = std::min(group, nq - q0);
    std::vector<Plan> plans;
    plans.reserve(g);
    for (std::size_t q = 0; q < g; ++q) plans.push_back(plan(rotated + (q0 + q) * d_));
    std::vector<detail::TopKScratch<Index>> scratch(g);
    std::deque<Top> tops;
    for (std::size_t q = 0; q < g; ++q) tops.emplace_back(candidates, n, id_at, scratch[q]);
    {
      detail::StandardFpMode mode;
      for (std::size_t b = 0; b < blocks; b += pass) {
        const std::size_t count = std::min(pass, blocks - b);
        const std::size_t first = b * block_vectors_, valid = std::min(n, first + count * block_vectors_) - first;
        const std::size_t stride = count * block_vectors_;
        scores.resize(g * stride);
        scan(plans, b, count, form, sums, scores.data());
        for (std::size_t q = 0; q < g; ++q)
          tops[q].offer_all(scores.data() + q * stride, valid, [first](std::size_t i) { return first + i; });
      }
    }
    for (std::size_t q = 0; q < g; ++q) {
      const auto& picked = tops[q].finish();
      auto& results = all[q0 + q];
      if (options.rerank == 0) {
        results.reserve(picked.size());
        for (const auto& c : picked) results.push_back({slot_text(c.index), c.score()});
        continue;
      }
      std::vector<std::size_t> slots;
      slots.reserve(picked.size());
      for (const auto& c : picked) slots.push_back(c.index);
      auto exact = rescore(queries + (q0 + q) * d_, codec_rotated ? codec_rotated + (q0 + q) * d_ : nullptr, slots,
                           options.exact);
      if (!exact) return err(std::move(exact).error());
      detail::TopKScratch<Index> final_scratch;
      Top best(k, slots.size(), id_at, final_scratch);
      for (std::size_t i = 0; i < slots.size(); ++i) best.offer((*exact)[i], slots[i]);
      const auto& chosen = best.finish();
      results.reserve(chosen.size());
      for (const auto& c : chosen) results.push_back({slot_text(c.index), c.score()});
    }
  }
  return all;
}

}  // namespace zorvex
