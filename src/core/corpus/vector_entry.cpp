#include "core/corpus/vector_entry.hpp"

#include "common/quote_id.hpp"

namespace zorvex {

std::string VectorEntry::repr() const {
  return "VectorEntry(vector_id=" + quote_id(vector_id()) + ", dimension=" + std::to_string(dimension_) +
         ", has_residual=" + (has_residual() ? "True" : "False") + ")";
}

}  // namespace zorvex
