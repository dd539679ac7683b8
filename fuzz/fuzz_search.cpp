// The brute-force index against a plain model: an insertion-ordered list of
// (identifier, vector), cosine scores summed sequentially in float (dot, xx,
// vv from 0.0 over i ascending, product rounded then added; denom =
// sqrt(xx*vv); 0 for any NaN or a zero denom), then a stable sort: higher
// score first, equal scores by identifier bytes. Where scores are NaN the
// order is the documented merge of the NaN-score candidates (by identifier)
// into the others. Every supported kernel form must give the same results,
// bit for bit, after any sequence of ingests, removals and clears, whatever
// FTZ/DAZ mode the host left. Scores' text must read back exactly, without
// an exponent, in no more digits than needed.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "backend/brute_force.hpp"
#include "backend/search_result.hpp"
#include "fuzz_common.hpp"

namespace {

using fuzz::bits;

struct Model {
  std::optional<std::size_t> dimension;
  std::vector<std::pair<std::string, std::vector<float>>> items;
};

std::string some_id(FuzzedDataProvider& in) {
  // A small alphabet with bytes above 0x7F (unsigned order) and NUL, short
  // lengths so that prefixes and collisions are common.
  static const char kAlphabet[] = {'a', 'b', '\0', '\x80', '\xff', 'A'};
  const std::size_t len = in.ConsumeIntegralInRange<std::size_t>(0, 3);
  std::string id;
  for (std::size_t i = 0; i < len; ++i) id += kAlphabet[in.ConsumeIntegral<std::uint8_t>() % sizeof kAlphabet];
  return id;
}

// Few distinct values, so equal scores (ties by identifier) are common.
float some_element(FuzzedDataProvider& in) {
  const std::uint8_t k = in.ConsumeIntegral<std::uint8_t>();
  if (k < 160) return static_cast<float>(k % 5) - 2.0f;
  if (k < 200) return fuzz::palette(k);
  return fuzz::some_float(in);
}

float reference_score(const std::vector<float>& x, const std::vector<float>& v) {
  for (float f : x) if (std::isnan(f)) return 0.0f;
  for (float f : v) if (std::isnan(f)) return 0.0f;
  float dot = 0.0f, xx = 0.0f, vv = 0.0f;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const float p = x[i] * v[i];
    dot = dot + p;
    const float q = x[i] * x[i];
    xx = xx + q;
    const float r = v[i] * v[i];
    vv = vv + r;
  }
  const float prod = xx * vv;
  const float denom = std::sqrt(prod);
  if (denom == 0.0f) return 0.0f;
  return dot / denom;
}

struct Scored {
  std::string id;
  float score;
};

bool id_less(const std::string& a, const std::string& b) {
  // Bytes as unsigned, a proper prefix first.
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

std::vector<Scored> reference_search(const Model& m, const std::vector<float>& q, std::size_t k) {
  std::vector<Scored> plain, nan;
  for (const auto& [id, v] : m.items) {
    const float s = reference_score(q, v);
    (std::isnan(s) ? nan : plain).push_back({id, s});
  }
  std::stable_sort(plain.begin(), plain.end(), [](const Scored& a, const Scored& b) {
    if (a.score != b.score) return a.score > b.score;
    return id_less(a.id, b.id);
  });
  std::stable_sort(nan.begin(), nan.end(), [](const Scored& a, const Scored& b) { return id_less(a.id, b.id); });
  std::vector<Scored> out;
  std::size_t i = 0, j = 0;
  while (out.size() < k && (i < plain.size() || j < nan.size())) {
    const bool take_nan = j < nan.size() && (i == plain.size() || id_less(nan[j].id, plain[i].id));
    out.push_back(take_nan ? nan[j++] : plain[i++]);
  }
  return out;
}

void check_score_text(float s) {
  const std::string t = zorvex::format_score(s);
  fuzz::StandardMode standard;  // for strtof and snprintf
  if (std::isnan(s)) {
    FUZZ_CHECK(t == "NaN", "NaN written as %s", t.c_str());
    return;
  }
  FUZZ_CHECK(t.find_first_of("eE") == std::string::npos || std::isinf(s), "exponent in %s", t.c_str());
  const float back = std::strtof(t.c_str(), nullptr);
  FUZZ_CHECK(bits(back) == bits(s), "%s reads back as %s, not %s", t.c_str(), fuzz::hex32(bits(back)).c_str(),
             fuzz::hex32(bits(s)).c_str());
  if (std::isinf(s) || s == 0.0f) return;
  // Significant digits written, against the fewest with which the nearest
  // decimal reads back.
  std::size_t digits = 0;
  bool leading = true;
  for (char c : t) {
    if (c < '0' || c > '9') continue;
    if (c == '0' && leading) continue;
    leading = false;
    ++digits;
  }
  FUZZ_CHECK(t.find('.') == std::string::npos || t.back() != '0', "trailing zero in %s", t.c_str());
  for (int p = 1; p <= 9; ++p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, static_cast<double>(s));
    if (bits(std::strtof(buf, nullptr)) == bits(s)) {
      FUZZ_CHECK(digits <= static_cast<std::size_t>(p), "%s has %zu digits, %s has %d", t.c_str(), digits, buf, p);
      break;
    }
  }
}

void compare(const zorvex::BruteForceIndex& index, const Model& m, const std::vector<float>& q, std::uint64_t top_k) {
  std::vector<Scored> want;
  if (top_k != 0 && (m.items.empty() || q.size() == *m.dimension)) {
    const std::size_t k = top_k < m.items.size() ? static_cast<std::size_t>(top_k) : m.items.size();
    fuzz::StandardMode standard;
    want = reference_search(m, q, k);
  }
  for (auto kernel : zorvex::detail::kScoreKernels) {
    if (!zorvex::detail::score_kernel_supported(kernel)) continue;
    const char* name = zorvex::detail::score_kernel_name(kernel);
    auto got = index.search(q, top_k, kernel);
    if (top_k == 0) {
      FUZZ_CHECK(!got.ok() && got.error().message() == "top_k must be > 0", "%s: top_k 0 accepted", name);
      continue;
    }
    if (!m.items.empty() && q.size() != *m.dimension) {
      const std::string want = "adapter error: dimension mismatch: expected " + std::to_string(*m.dimension) +
                               ", got " + std::to_string(q.size());
      FUZZ_CHECK(!got.ok() && got.error().message() == want, "%s: want \"%s\"", name, want.c_str());
      continue;
    }
    FUZZ_CHECK(got.ok(), "%s: search failed: %s", name, got.error().message().c_str());
    const auto& results = got.value();
    FUZZ_CHECK(results.size() == want.size(), "%s: %zu results, want %zu", name, results.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      FUZZ_CHECK(*results[i].vector_id == want[i].id && bits(results[i].score) == bits(want[i].score),
                 "%s: result %zu of %zu (n=%zu, d=%zu): score %s, want %s (ids %s)", name, i, want.size(),
                 m.items.size(), q.size(), fuzz::hex32(bits(results[i].score)).c_str(),
                 fuzz::hex32(bits(want[i].score)).c_str(), *results[i].vector_id == want[i].id ? "equal" : "differ");
      if (kernel == zorvex::detail::ScoreKernel::Portable) check_score_text(results[i].score);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::HostFpMode host(in.ConsumeIntegral<std::uint8_t>());
  zorvex::BruteForceIndex index;
  Model m;
  for (int op = 0; op < 8 && in.remaining_bytes() > 0; ++op) {
    const std::uint8_t what = in.ConsumeIntegral<std::uint8_t>();
    const std::size_t d = m.dimension.value_or(what >> 4);
    switch (what % 8) {
      case 0:
      case 1:
      case 2: {  // ingest a few pairs, sometimes one of another length
        zorvex::IngestPairs pairs;
        const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(1, 4);
        for (std::size_t i = 0; i < count; ++i) {
          std::size_t len = d;
          if (in.ConsumeIntegral<std::uint8_t>() < 8) len = in.ConsumeIntegralInRange<std::size_t>(0, 20);
          std::vector<float> v(len);
          for (auto& f : v) f = some_element(in);
          pairs.emplace_back(zorvex::make_text(some_id(in)), std::move(v));
        }
        auto r = index.ingest(pairs);
        std::string want_error;
        for (const auto& pair : pairs) {
          const std::string& id = *pair.first;
          const std::vector<float>& v = pair.second;
          if (m.dimension && *m.dimension != v.size()) {
            want_error = "adapter error: dimension mismatch: expected " + std::to_string(*m.dimension) + ", got " +
                         std::to_string(v.size());
            break;
          }
          m.dimension = v.size();
          auto at = std::find_if(m.items.begin(), m.items.end(), [&](const auto& it) { return it.first == id; });
          if (at != m.items.end()) at->second = v;
          else m.items.emplace_back(id, v);
        }
        if (want_error.empty()) FUZZ_CHECK(r.ok(), "ingest failed: %s", r.error().message().c_str());
        else FUZZ_CHECK(!r.ok() && r.error().message() == want_error, "ingest: want \"%s\"", want_error.c_str());
        break;
      }
      case 3: {  // many vectors with distinct ids: several blocks, the heap path
        // Up to ten blocks; not past one scoring chunk (4096 vectors), whose
        // cost would swamp every other input.
        const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(2, 160);
        std::uint32_t seed = in.ConsumeIntegral<std::uint32_t>();
        const std::size_t dim = std::min<std::size_t>(d, 24);
        if (m.dimension && *m.dimension != dim) break;
        zorvex::IngestPairs pairs;
        for (std::size_t i = 0; i < count; ++i) {
          std::vector<float> v(dim);
          for (auto& f : v) {
            seed = seed * 1664525u + 1013904223u;
            f = (seed >> 29) == 7 ? fuzz::palette(static_cast<std::uint8_t>(seed >> 8)) : static_cast<float>(seed >> 29) - 3.0f;
          }
          pairs.emplace_back(zorvex::make_text("n" + std::to_string(i * 7919 % count)), std::move(v));
        }
        FUZZ_CHECK(index.ingest(pairs).ok(), "bulk ingest failed");
        m.dimension = dim;
        std::unordered_map<std::string, std::size_t> at;
        for (std::size_t i = 0; i < m.items.size(); ++i) at.emplace(m.items[i].first, i);
        for (auto& [id, v] : pairs) {
          auto found = at.find(*id);
          if (found != at.end()) m.items[found->second].second = v;
          else m.items.emplace_back(*id, v);
        }
        break;
      }
      case 4: {  // remove some ids, repeats and unknown ones included
        std::vector<zorvex::SharedText> ids;
        const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 5);
        for (std::size_t i = 0; i < count; ++i) {
          if (!m.items.empty() && in.ConsumeBool())
            ids.push_back(zorvex::make_text(m.items[in.ConsumeIntegral<std::uint16_t>() % m.items.size()].first));
          else
            ids.push_back(zorvex::make_text(some_id(in)));
        }
        if (!m.items.empty() && in.ConsumeIntegral<std::uint8_t>() < 16) {
          // Most of them at once: slots move across blocks.
          for (std::size_t i = 0; i < m.items.size(); i += 1 + (what >> 6)) ids.push_back(zorvex::make_text(m.items[i].first));
        }
        index.remove(ids);
        std::unordered_set<std::string> doomed;
        for (const auto& id : ids) doomed.insert(*id);
        std::erase_if(m.items, [&](const auto& it) { return doomed.count(it.first) != 0; });
        FUZZ_CHECK(index.count() == m.items.size(), "count %zu after remove, want %zu", index.count(), m.items.size());
        break;
      }
      case 5:
        if (what & 0x80) {  // clear
          index = zorvex::BruteForceIndex{};
          m = Model{};
          break;
        }
        [[fallthrough]];
      default: {  // search
        std::size_t len = d;
        if (in.ConsumeIntegral<std::uint8_t>() < 12) len = in.ConsumeIntegralInRange<std::size_t>(0, 20);
        std::vector<float> q(len);
        for (auto& f : q) f = some_element(in);
        static const std::uint64_t kBig[] = {0, ~std::uint64_t{0}, std::uint64_t{1} << 32, 4096};
        const std::uint8_t kk = in.ConsumeIntegral<std::uint8_t>();
        const std::uint64_t top_k = kk < 240 ? kk % 40 : kBig[kk & 3];
        compare(index, m, q, top_k);
        break;
      }
    }
    FUZZ_CHECK(index.count() == m.items.size(), "count %zu, want %zu", index.count(), m.items.size());
    FUZZ_CHECK(index.dimension() == m.dimension, "dimension differs");
  }
  compare(index, m, std::vector<float>(m.dimension.value_or(0), 1.0f), 3);
  return 0;
}
