#include "core/corpus/events.hpp"

#include "common/result.hpp"

namespace zorvex {

std::string_view violation_type_text(ViolationType t) {
  switch (t) {
    case ViolationType::ConfigMismatch:
      return "config_mismatch";
    case ViolationType::PolicyConflict:
      return "policy_conflict";
    case ViolationType::DuplicateId:
      return "duplicate_id";
    case ViolationType::DimensionMismatch:
      return "dimension_mismatch";
  }
  panic("unknown violation type ordinal");
}

}  // namespace zorvex
