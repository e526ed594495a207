// The one reading of "a whole number in a range" for texts from outside (options, addresses,
// settings of the radio, the node's lines): decimal digits only, a minus sign only where the
// range has negative numbers, nothing before or after, and no overflow.
#pragma once

#include <charconv>
#include <string>
#include <string_view>

#include "shell/status.h"

namespace horatone {

inline Result<int> ParseNumber(std::string_view text, int low, int high) {
  int value = 0;
  const char* end = text.data() + text.size();
  const bool signed_ok = low < 0 && text.starts_with('-');
  const bool digits_only = !text.empty() && (signed_ok || text.front() != '-') &&
                           text.substr(signed_ok ? 1 : 0).find_first_not_of("0123456789") ==
                               std::string_view::npos;
  if (digits_only && text.size() > (signed_ok ? 1u : 0u)) {
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error == std::errc() && stop == end && value >= low && value <= high) return value;
  }
  return Status::BadInput("\"" + std::string(text) + "\" is not a number from " +
                          std::to_string(low) + " to " + std::to_string(high));
}

}  // namespace horatone
