#pragma once

#include <string>
#include <string_view>

namespace quorell {

// Removes every leading and trailing byte from 0x00 to 0x20 (control characters and space).
std::string Trimmed(std::string_view s);

// Replaces every occurrence of `from` (non-empty) by `to`, scanning left to right.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace quorell
