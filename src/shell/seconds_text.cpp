#include "shell/seconds_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace horatone {

std::string SecondsText(double seconds) {
  if (!std::isfinite(seconds) || seconds == 0.0) return "0";
  const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(seconds))));
  // Fifteen significant digits in fixed notation.
  const int decimals = std::clamp(14 - exponent, 0, 340);
  // The longest text is a sign, "0." and 340 decimals, or a sign and 309 integer digits.
  // Formatting into a fixed buffer and building the result once keeps the string free of
  // in-place reassignment.
  char buffer[400];
  const int n = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, seconds);
  if (n <= 0) return "0";
  std::string_view text(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1));
  if (text.find('.') != std::string_view::npos) {
    while (text.back() == '0') text.remove_suffix(1);
    if (text.back() == '.') text.remove_suffix(1);
  }
  if (text == "-0") return "0";
  return std::string(text);
}

}  // namespace horatone
