#pragma once
#include <memory>
#include <string>
#include <string_view>

namespace zorvex {

// Immutable text shared between objects (identifiers, config hashes).
using SharedText = std::shared_ptr<const std::string>;

inline SharedText make_text(std::string_view s) { return std::make_shared<const std::string>(s); }

}  // namespace zorvex
