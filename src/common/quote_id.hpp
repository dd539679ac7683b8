#pragma once
#include <string>
#include <string_view>

namespace zorvex {

// The double-quoted, escaped form of an identifier used in messages and reprs.
// `text` is valid UTF-8.
std::string quote_id(std::string_view text);

}  // namespace zorvex
