#include "shell/seconds_text.h"

#include <gtest/gtest.h>

namespace horatone {
namespace {

// Whole numbers have no decimal point; fractions lose trailing zeros, never use an exponent,
// and show 15 significant digits, which hide the binary tail but tell close values apart.
TEST(SecondsText, ShortestPlainDecimalOfFifteenDigits) {
  const std::pair<double, const char*> cases[] = {{12, "12"},
                                                  {0, "0"},
                                                  {3.5, "3.5"},
                                                  {1.0 / 48000, "0.0000208333333333333"},
                                                  {1e-9, "0.000000001"},
                                                  {0.1 + 0.2, "0.3"},
                                                  {9.9999999999999999, "10"},
                                                  {1.2500001, "1.2500001"}};
  for (const auto& [seconds, text] : cases) EXPECT_EQ(SecondsText(seconds), text) << text;
}

}  // namespace
}  // namespace horatone
