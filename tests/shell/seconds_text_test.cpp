#include "shell/seconds_text.h"

#include <gtest/gtest.h>

namespace horatone {
namespace {

TEST(SecondsText, WholeNumbersHaveNoDecimalPoint) {
  EXPECT_EQ(SecondsText(12), "12");
  EXPECT_EQ(SecondsText(0), "0");
  EXPECT_EQ(SecondsText(32767), "32767");
}

TEST(SecondsText, FractionsLoseTrailingZerosAndNeverUseAnExponent) {
  EXPECT_EQ(SecondsText(3.5), "3.5");
  EXPECT_EQ(SecondsText(1.0 / 48000), "0.0000208333333333333");
  EXPECT_EQ(SecondsText(1e-9), "0.000000001");
  EXPECT_EQ(SecondsText(0.1 + 0.2), "0.3");  // 15 significant digits hide the binary tail
}

TEST(SecondsText, EqualValuesGiveEqualTextsAndCloseValuesDiffer) {
  const double a = 44100.0 * 3 / 44100.0 + 0.0000001;
  EXPECT_EQ(SecondsText(a), SecondsText(a));
  EXPECT_NE(SecondsText(1.25), SecondsText(1.2500001));
  EXPECT_EQ(SecondsText(9.9999999999999999), "10");
}

}  // namespace
}  // namespace horatone
