#pragma once
// Cosine search over compressed codes of one configuration and codebook.
//
// The scan scores in the rotated space: the query is rotated once (q = M x,
// in float with M rounded to float: scan_rotation.hpp), and vector v's score
// approximates the cosine between q and its reconstruction r (r_i =
// entry[code_i]). The dot product comes from integer sums over per-query
// tables, so it is the same on every machine and in every kernel form:
//
// 2 and 4 bits: for each coordinate, T_ic = q_i * e_c in double (exact),
//   lo_i = min_c T_ic; delta = max_i (max_c T_ic - lo_i) / L, with L = 255 at
//   4 bits and 127 at 2 bits (two coordinates share one byte-sized entry);
//   t_ic = floor((T_ic - lo_i) / delta + 0.5). S = sum_i t_i[code_i] exactly;
//   dot = delta * S + M with M = sum_i lo_i (double, i ascending).
//   |dot - q.r| <= d * delta / 2.
// 8 bits: weights w_i = floor(q_i / dq + 0.5) with dq = max_i |q_i| / 127,
//   values u_c = floor(e_c / de + 0.5) with de = max_c |e_c| / 127;
//   S = sum_i w_i * u[code_i] exactly; dot = (dq * de) * S.
//   |dot - q.r| <= d * max|q_i| * max|e_c| * (1/127 + 1/64516).
// score = float((a * S + b) * inv_norm) with a = delta / |q|, b = M / |q|
// (8 bits: a = dq * de / |q|, b = 0), |q| = sqrt(sum q_i^2) and inv_norm =
// 1 / sqrt(sum r_i^2), sums in double with i ascending. A zero query, a zero
// reconstruction, and a query whose rotation holds a NaN or an infinity
// score 0.0. So the scan's cosine is within (dot bound) / (|q| |r|), plus
// the final rounding to float, of the cosine between q and r.
//
// Re-ranking scores the best candidates of the scan again, by the exact
// backend's own arithmetic on the original query, or (without one) by that
// arithmetic on the codec's rotation of the query (its double sums) and the
// reconstruction with its half-precision residual.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backend/brute_force.hpp"
#include "backend/id_column.hpp"
#include "backend/search_result.hpp"
#include "common/isa.hpp"
#include "common/large_alloc.hpp"
#include "common/poisonable_shared_mutex.hpp"
#include "common/result.hpp"
#include "common/shared_text.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/compressed_vector.hpp"
#include "core/codec/config.hpp"

namespace zorvex {

// Failures of the code backend; the Python layer picks the exception by kind.
struct CodeSearchError {
  enum class Kind : std::uint8_t { Value, Key, Dimension, Config };
  Kind kind;
  std::string message;
};

using RecordPairs = std::vector<std::pair<SharedText, CompressedVector>>;

struct CodeSearchOptions {
  std::uint64_t top_k = 0;
  std::uint64_t rerank = 0;
  // Re-rank against this backend's vectors; null: against the residuals.
  BruteForceBackend* exact = nullptr;
};

class CompressedIndex {
 public:
  // Refuses a codebook whose bit width is not the configuration's, or whose
  // entries are not all finite.
  static Result<CompressedIndex, CodeSearchError> make(CodecConfig config, Codebook codebook);

  const CodecConfig& config() const { return config_; }
  const Codebook& codebook() const { return codebook_; }
  std::size_t dimension() const { return d_; }
  std::size_t count() const { return column() ? ids_.n : slot_ids_.size(); }
  // Searches arrays mapped from a file; changing it is a broken precondition.
  bool mapped() const { return mapping_ != nullptr; }
  bool has_residuals() const { return config_.residual_enabled(); }
  // Everything the index holds, identifiers included.
  std::size_t memory_bytes() const;

  // All or nothing: every vector is checked and compressed before any is
  // stored. An identifier already stored is replaced.
  Result<Unit, CodeSearchError> ingest(const IngestPairs& vectors);
  Result<Unit, CodeSearchError> ingest_records(const RecordPairs& records);
  // Unknown (or repeated) identifiers are ignored.
  void remove(std::span<const SharedText> ids);
  void clear();
  bool contains(std::string_view id) const {
    return column() ? ids_.find(id).has_value() : positions_.count(id) != 0;
  }

  // The stored arrays as they are laid out, for saving: identifiers by
  // slot, whole blocks of codes, and per slot the inverse norm (padded to
  // whole blocks) and d residual values.
  std::string_view slot_id(std::size_t slot) const { return column() ? ids_.at(slot) : *slot_ids_[slot]; }
  std::span<const std::uint8_t> code_blocks() const { return {codes_data(), blocks_for(count()) * block_bytes_}; }
  std::span<const double> inverse_norms() const { return {inv_data(), blocks_for(count()) * block_vectors_}; }
  std::span<const std::uint16_t> residual_values() const {
    return {residuals_data(), has_residuals() ? count() * d_ : 0};
  }
  std::size_t blocks_for(std::size_t n) const { return (n + block_vectors_ - 1) / block_vectors_; }
  std::size_t block_bytes() const { return block_bytes_; }
  std::size_t block_vectors() const { return block_vectors_; }

  // Holds exactly those arrays, of the sizes the getters above give for
  // ids.n vectors, the identifiers left in the file's tables (alive while
  // `ids_owner` is) until the first change; the caller has checked that they
  // are distinct and sorted by `ids.order`.
  void adopt_arrays(std::shared_ptr<const void> ids_owner, const detail::IdColumn& ids,
                    LargeVector<std::uint8_t> codes, LargeVector<double> inv, LargeVector<std::uint16_t> residuals);
  // Reads those arrays where they lie, kept alive by `mapping`; the caller
  // has checked their bounds.
  void map_arrays(std::shared_ptr<const void> mapping, const detail::IdColumn& ids, const std::uint8_t* codes,
                  const double* inv, const std::uint16_t* residuals);

  // `queries` holds nq rows of d floats; one result list per row, each
  // equal to what that row alone gives.
  Result<std::vector<std::vector<SearchResult>>, CodeSearchError> search(const float* queries, std::size_t nq,
                                                                         std::size_t cols,
                                                                         const CodeSearchOptions& options,
                                                                         detail::Isa form = detail::isa_best()) const;

 private:
  struct Plan;

  CompressedIndex(CodecConfig config, Codebook codebook);

  // Code of coordinate i of the vector in `slot`.
  std::uint8_t code_at(std::size_t slot, std::size_t i) const;
  void write_codes(std::size_t slot, const std::uint8_t* codes);
  void write_slot(std::size_t slot, const CompressedVector& record);
  void move_slot(std::size_t from, std::size_t to);
  void reserve_slots(std::size_t total);
  // Column mode ends: the slot identifiers and hash map are built from the
  // tables.
  void materialize();
  bool column() const { return ids_owner_ != nullptr; }

  Plan plan(const float* rotated) const;
  // `rotated`: the scan's rotation of the queries; `codec_rotated`: the
  // codec's, for re-ranking against the residuals (else null).
  template <class Index>
  Result<std::vector<std::vector<SearchResult>>, CodeSearchError> run(const float* queries, const float* rotated,
                                                                      const float* codec_rotated, std::size_t nq,
                                                                      const CodeSearchOptions& options,
                                                                      detail::Isa form) const;
  struct ScanSums {
    std::vector<std::uint32_t> nibbles;
    std::vector<std::int32_t> bytes;
  };
  // Scores of every query against `nblocks` blocks from `block0`: query q's
  // at scores + q * (nblocks * block_vectors_).
  void scan(std::span<const Plan> plans, std::size_t block0, std::size_t nblocks, detail::Isa form, ScanSums& sums,
            float* scores) const;
  Result<std::vector<float>, CodeSearchError> rescore(const float* query, const float* rotated,
                                                      std::span<const std::size_t> slots,
                                                      BruteForceBackend* exact) const;

  CodecConfig config_;
  Codebook codebook_;
  std::size_t d_;
  std::uint8_t bits_;
  std::size_t block_vectors_;  // vectors per block
  std::size_t rows_;           // rows per block (groups or quads)
  std::size_t block_bytes_;
  std::int8_t values_[256] = {};  // 8 bits: entries as small integers
  double value_step_ = 0.0;       // 8 bits: de

  LargeVector<std::uint8_t> codes_;  // whole blocks
  LargeVector<double> inv_norm_;     // per slot
  LargeVector<std::uint16_t> residuals_;  // d per slot, when the configuration keeps them
  std::vector<SharedText> slot_ids_;
  // Keys view the slot identifiers' own text.
  detail::IdPositions positions_;

  // Column mode (a mapping, or a loaded copy until its first change): the
  // identifiers are the file's tables, alive while `ids_owner_` is;
  // `slot_ids_` and `positions_` are empty.
  std::shared_ptr<const void> ids_owner_;
  detail::IdColumn ids_;

  // Mapped mode: the file's arrays, alive while `mapping_` is.
  std::shared_ptr<const void> mapping_;
  const std::uint8_t* mapped_codes_ = nullptr;
  const double* mapped_inv_ = nullptr;
  const std::uint16_t* mapped_residuals_ = nullptr;

  const std::uint8_t* codes_data() const { return mapping_ ? mapped_codes_ : codes_.data(); }
  const double* inv_data() const { return mapping_ ? mapped_inv_ : inv_norm_.data(); }
  const std::uint16_t* residuals_data() const { return mapping_ ? mapped_residuals_ : residuals_.data(); }
  // Shared, or copied (only for returned results) in column mode.
  SharedText slot_text(std::size_t slot) const { return column() ? make_text(ids_.at(slot)) : slot_ids_[slot]; }
};

// The index behind a readers-writer lock: searches run side by side, changes
// alone, and a search sees a change whole or not at all. nullopt (false)
// when the lock is poisoned.
class CompressedBackend {
 public:
  explicit CompressedBackend(CompressedIndex index) : mapped_(index.mapped()), index_(std::move(index)) {}
  // Fixed at construction, so it needs no lock.
  bool mapped() const { return mapped_; }

  template <class F>
  auto read(F&& f) {
    return mutex_.run_shared([&] { return f(std::as_const(index_)); });
  }
  template <class F>
  auto write(F&& f) {
    return mutex_.run([&] { return f(index_); });
  }

 private:
  bool mapped_ = false;
  PoisonableSharedMutex mutex_;
  CompressedIndex index_;
};

}  // namespace zorvex
