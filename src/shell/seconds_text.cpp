#include "shell/seconds_text.h"

#include <cmath>
#include <cstdio>

namespace horatone {

std::string SecondsText(double seconds) {
  if (!std::isfinite(seconds)) return "0";
  if (seconds == 0.0) return "0";
  const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(seconds))));
  int decimals = 14 - exponent;
  if (decimals < 0) decimals = 0;
  if (decimals > 340) decimals = 340;
  std::string text(static_cast<size_t>(decimals) + 32 + (exponent > 0 ? exponent : 0), '\0');
  const int n = std::snprintf(text.data(), text.size(), "%.*f", decimals, seconds);
  text.resize(static_cast<size_t>(n));
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") text = "0";
  return text;
}

}  // namespace horatone
