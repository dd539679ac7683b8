#pragma once
// Domain events a corpus records until its owner collects them. No clock is
// read: every event carries timestamp 0.
#include <cstdint>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

#include "common/shared_text.hpp"
#include "core/codec/config.hpp"
#include "core/corpus/policy.hpp"

namespace zorvex {

enum class ViolationType : std::uint8_t { ConfigMismatch = 0, PolicyConflict = 1, DuplicateId = 2, DimensionMismatch = 3 };

// "config_mismatch", "policy_conflict", "duplicate_id", "dimension_mismatch".
std::string_view violation_type_text(ViolationType t);

struct CorpusCreated {
  SharedText corpus_id;
  std::int64_t timestamp;
  CodecConfig codec_config;
  CompressionPolicy compression_policy;
};

struct VectorsInserted {
  SharedText corpus_id;
  std::int64_t timestamp;
  std::shared_ptr<const std::vector<SharedText>> vector_ids;
  std::uint32_t count;
};

struct CorpusDecompressed {
  SharedText corpus_id;
  std::int64_t timestamp;
  std::uint32_t vector_count;
};

// Part of the vocabulary only: nothing in this system produces it.
struct CompressionPolicyViolationDetected {
  SharedText corpus_id;
  std::int64_t timestamp;
  ViolationType violation_type;
  SharedText detail;
};

// The tag is the alternative's index, in declared order.
using CorpusEvent = std::variant<CorpusCreated, VectorsInserted, CorpusDecompressed, CompressionPolicyViolationDetected>;

}  // namespace zorvex
