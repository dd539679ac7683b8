#pragma once
// The best k of a stream of scored candidates, without sorting them all.
//
// "a before b" when a's score is higher, or when the scores are equal or
// unordered (a NaN is unordered with everything) and a's identifier bytes
// are smaller. Identifiers are unique, so without NaN scores this is a total
// order (-0.0 and +0.0 being equal) and the result is the one order a stable
// sort by it gives, whatever order the candidates come in.
//
// With NaN scores the relation can be circular (x before y before z before
// x), so what a stable sort by it gives depends on the algorithm and on the
// input order. The order used here is the stable merge, comparing by
// "before" alone, of two runs that each have a total order: the other
// candidates in their order, and the NaN-score ones by identifier. The merge
// takes the NaN head exactly when its identifier is smaller than the other
// head's, which places every NaN-score candidate just before the first other
// candidate whose identifier is greater than its own (at the end if none
// is), several at one place by identifier. (The other candidates passed over
// before the previous NaN one was placed all have smaller identifiers than
// it, and so than the next one.) Hence neighbours in the result always obey
// "before", the result does not depend on input order, and its first k come
// from the first k of each run: each run is selected on its own, under an
// order that is consistent, and no sort ever sees the circular relation.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace zorvex::detail {

// One scored candidate. The score is kept as its sort code: the float's
// bits mapped so that unsigned order is descending score order (for scores
// that are not NaN) and mapped back exactly. Integer work only, so a
// denormals-are-zero mode cannot merge subnormal scores with zero.
// `Index` is 32 bits where it can be, to halve what selection moves.
template <class Index>
struct Candidate {
  std::uint32_t code;
  Index index;

  // Negative scores keep their bits, positive ones have all but the sign
  // bit flipped; the map is its own inverse. Written without a branch, which
  // random signs would mispredict half the time.
  static std::uint32_t flip(std::uint32_t bits) {
    const std::uint32_t positive = (bits >> 31) - 1u;  // all ones when the sign bit is clear
    return bits ^ (positive & 0x7FFFFFFFu);
  }
  static std::uint32_t code_of(float score) { return flip(std::bit_cast<std::uint32_t>(score)); }
  float score() const { return std::bit_cast<float>(flip(code)); }
  // The code, with -0.0 (0x80000000) joined to +0.0 (0x7FFFFFFF), which it
  // directly follows: equal scores, equal keys.
  std::uint32_t key() const { return code == 0x80000000u ? 0x7FFFFFFFu : code; }
};

// Working memory of a TopK, kept by the caller between uses so that large
// selections do not fault fresh pages in every time.
template <class Index>
struct TopKScratch {
  std::vector<Candidate<Index>> kept;
  std::vector<Candidate<Index>> nan;
  std::vector<Candidate<Index>> tmp;
};

// Stable LSD radix sort on the code (11, 11 and 10 bits, all histograms
// from one read): comparison sorts of random scores spend their time on
// mispredicted branches. Codes order like keys, except that +0.0 comes out
// before -0.0.
template <class Index>
void radix_sort_by_code(std::vector<Candidate<Index>>& a, std::vector<Candidate<Index>>& tmp) {
  constexpr int kShift[3] = {0, 11, 22};
  std::array<std::array<std::size_t, 2048>, 3> count{};
  for (const auto& c : a) {
    ++count[0][c.code & 2047u];
    ++count[1][(c.code >> 11) & 2047u];
    ++count[2][c.code >> 22];
  }
  tmp.resize(a.size());
  for (int pass = 0; pass < 3; ++pass) {
    auto& cnt = count[static_cast<std::size_t>(pass)];
    if (std::find(cnt.begin(), cnt.end(), a.size()) != cnt.end()) continue;  // one digit value: order kept
    std::size_t sum = 0;
    for (std::size_t& x : cnt) sum += std::exchange(x, sum);
    const int shift = kShift[pass];
    for (const auto& c : a) tmp[cnt[(c.code >> shift) & 2047u]++] = c;
    a.swap(tmp);
  }
}

// `IdOf(index)` gives a candidate's identifier as a std::string_view.
template <class Index, class IdOf>
class TopK {
 public:
  using Candidate = detail::Candidate<Index>;

  // For 1 <= k <= n, where n candidates will be offered.
  TopK(std::size_t k, std::size_t n, IdOf id, TopKScratch<Index>& scratch)
      : k_(k), keep_all_(k >= n / 64), id_(std::move(id)), kept_(scratch.kept), nan_(scratch.nan), tmp_(scratch.tmp) {
    // A heap pays a few mispredicted branches for each candidate it takes
    // in; once more than a small share of them is kept, one selection at the
    // end is cheaper. Either way the memory is O(min(k, n)) beyond n itself.
    kept_.clear();
    nan_.clear();
    kept_.reserve(keep_all_ ? n : k);
  }
  TopK(const TopK&) = delete;
  TopK& operator=(const TopK&) = delete;

  void offer(float score, std::size_t index) {
    offer_all(&score, 1, [index](std::size_t) { return index; });
  }

  // Offers scores[i] as candidate index_of(i) for i < count.
  template <class IndexOf>
  void offer_all(const float* scores, std::size_t count, IndexOf&& index_of) {
    if (keep_all_) return offer_run(scores, 0, count, index_of);
    std::size_t i = 0;
    // Once the heap is full nearly every run of scores falls behind it: a
    // branch-free test of sixteen at a time (which the compiler vectorises)
    // skips those runs whole.
    constexpr std::size_t kRun = 16;
    float floor = floor_of(bound_);
    for (; i + kRun <= count; i += kRun) {
      if (any_pass(scores + i, kRun, floor)) {
        offer_run(scores, i, i + kRun, index_of);
        floor = floor_of(bound_);
      }
    }
    offer_run(scores, i, count, index_of);
  }

  // The first min(k, offered) candidates in order; valid until the scratch
  // is used again.
  const std::vector<Candidate>& finish() {
    if (keep_all_) {
      select_kept();
      select_by_id(nan_);
    } else {
      std::sort_heap(kept_.begin(), kept_.end(), before());
      std::sort_heap(nan_.begin(), nan_.end(), id_less());
    }
    if (nan_.empty()) return kept_;
    tmp_.clear();
    std::size_t i = 0, j = 0;
    while (tmp_.size() < k_ && (i < kept_.size() || j < nan_.size())) {
      const bool nan_first = j < nan_.size() && (i == kept_.size() || id_(nan_[j].index) < id_(kept_[i].index));
      tmp_.push_back(nan_first ? nan_[j++] : kept_[i++]);
    }
    return tmp_;
  }

 private:
  // On the bits, so that no compiler flag can change it.
  static bool is_nan(float score) { return (std::bit_cast<std::uint32_t>(score) & 0x7FFFFFFFu) > 0x7F800000u; }

  // The lowest score whose key is within `bound`: keys are descending score
  // order, so a score gets past the bound exactly when it is not below this.
  // The bound of a heap not yet full is a NaN's code, and every score passes.
  static float floor_of(std::uint32_t bound) { return Candidate{bound, 0}.score(); }

  // Whether any of the scores might get past the bound. A float comparison
  // takes a few steps where the keys' integer test took many. !(s < floor)
  // holds for NaNs, which always go on, and for every score at or above the
  // floor; with denormals read as zero it can only hold more often (the map
  // to zero keeps order), never less, and offer_run decides exactly.
  static bool any_pass(const float* scores, std::size_t count, float floor) {
    std::uint32_t pass = 0;
    for (std::size_t t = 0; t < count; ++t) pass |= static_cast<std::uint32_t>(!(scores[t] < floor));
    return pass != 0;
  }

  template <class IndexOf>
  void offer_run(const float* scores, std::size_t begin, std::size_t end, IndexOf& index_of) {
    std::uint32_t bound = bound_;
    for (std::size_t i = begin; i < end; ++i) {
      const Candidate c{Candidate::code_of(scores[i]), 0};
      // Once the heap is full most offers stop here, behind the last kept
      // candidate; a NaN's key means nothing, so NaNs always go on.
      const bool nan = is_nan(scores[i]);
      if (c.key() > bound && !nan) continue;
      const Index index = static_cast<Index>(index_of(i));
      if (keep_all_ && !nan) {
        kept_.push_back({c.code, index});
      } else {
        take({c.code, index}, nan);
        bound = bound_;
      }
    }
  }

  // Both orders are total over unique identifiers.
  auto before() const {
    return [this](const Candidate& a, const Candidate& b) {
      const std::uint32_t ka = a.key(), kb = b.key();
      return ka != kb ? ka < kb : id_(a.index) < id_(b.index);
    };
  }
  auto id_less() const {
    return [this](const Candidate& a, const Candidate& b) { return id_(a.index) < id_(b.index); };
  }

  [[gnu::noinline]] void take(Candidate c, bool nan) {
    if (nan) return offer_nan(c);
    if (kept_.size() < k_) {
      kept_.push_back(c);
      std::push_heap(kept_.begin(), kept_.end(), before());
    } else {
      const Candidate& last = kept_.front();
      if (c.key() == last.key() && !(id_(c.index) < id_(last.index))) return;
      replace_front(kept_, c, before());
    }
    if (kept_.size() == k_) bound_ = kept_.front().key();
  }

  void offer_nan(const Candidate& c) {
    if (keep_all_) return nan_.push_back(c);
    if (nan_.size() < k_) {
      if (nan_.empty()) nan_.reserve(k_);
      nan_.push_back(c);
      std::push_heap(nan_.begin(), nan_.end(), id_less());
      return;
    }
    if (id_less()(c, nan_.front())) replace_front(nan_, c, id_less());
  }

  // Heap whose front is its last element in `order`: the front gives way
  // to `c`, which comes before it.
  template <class Order>
  static void replace_front(std::vector<Candidate>& heap, const Candidate& c, const Order& order) {
    std::pop_heap(heap.begin(), heap.end(), order);
    heap.back() = c;
    std::push_heap(heap.begin(), heap.end(), order);
  }

  // kept_ cut to its first k in order, sorted. Selection and sorting go by
  // key; identifiers only settle equal keys.
  void select_kept() {
    auto first = kept_.begin();
    if (kept_.size() > k_) {
      const auto key_less = [](const Candidate& a, const Candidate& b) { return a.key() < b.key(); };
      const auto kth = first + static_cast<std::ptrdiff_t>(k_ - 1);
      std::nth_element(first, kth, kept_.end(), key_less);
      // Candidates with the k-th key may lie on both sides of it: bring them
      // together and keep those with the smallest identifiers.
      const std::uint32_t key = kth->key();
      const auto tied = std::partition(first, kth + 1, [key](const Candidate& c) { return c.key() < key; });
      const auto more = std::partition(kth + 1, kept_.end(), [key](const Candidate& c) { return c.key() == key; });
      const auto want = first + static_cast<std::ptrdiff_t>(k_);
      if (more != kth + 1) std::nth_element(tied, want - 1, more, id_less());
      kept_.resize(k_);
    }
    radix_sort_by_code(kept_, tmp_);
    for (auto lo = kept_.begin(); lo != kept_.end();) {
      auto hi = lo + 1;
      while (hi != kept_.end() && hi->key() == lo->key()) ++hi;
      if (hi - lo > 1) std::sort(lo, hi, id_less());
      lo = hi;
    }
  }

  void select_by_id(std::vector<Candidate>& v) const {
    if (v.size() > k_) {
      std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k_ - 1), v.end(), id_less());
      v.resize(k_);
    }
    std::sort(v.begin(), v.end(), id_less());
  }

  std::size_t k_;
  bool keep_all_;
  // Keys above it cannot be kept.
  std::uint32_t bound_ = ~std::uint32_t{0};
  IdOf id_;
  std::vector<Candidate>& kept_;
  std::vector<Candidate>& nan_;
  std::vector<Candidate>& tmp_;
};

}  // namespace zorvex::detail
