#pragma once
// One (identifier, score) pair of a search answer, and its text form.
#include <string>

#include "common/shared_text.hpp"

namespace zorvex {

struct SearchResult {
  SharedText vector_id;
  float score = 0.0f;
};

// The shortest decimal that reads back as `score`, written positionally
// (never with an exponent): "1", "0.1", "0.0000001", "-0", "NaN", "inf", "-inf".
std::string format_score(float score);

// SearchResult(vector_id="doc-1", score=0.5)
std::string repr(const SearchResult& result);

}  // namespace zorvex
