// Gathering DTMF digits into codes, in virtual time (milliseconds here).
#include "node/dtmf_code.h"

#include <gtest/gtest.h>

#include <vector>

namespace horatone {
namespace {

// Feeds `keys` one every 100 ms from `at` and returns the codes they end.
std::vector<std::string> Keys(DtmfCode& code, std::string_view keys, std::int64_t at = 0) {
  std::vector<std::string> ended;
  for (char c : keys) {
    if (auto done = code.Take(c, at)) ended.push_back(*done);
    at += 100;
  }
  return ended;
}

TEST(DtmfCode, AHashEndsACodeWithoutBeingPartOfItAndALoneHashGivesNothing) {
  DtmfCode code(2000);
  EXPECT_EQ(Keys(code, "123#"), std::vector<std::string>{"123"});
  EXPECT_EQ(Keys(code, "#"), std::vector<std::string>{});
  EXPECT_EQ(Keys(code, "*9AD#12#"), (std::vector<std::string>{"*9AD", "12"}));
  EXPECT_EQ(code.EndsAt(), std::nullopt);
}

TEST(DtmfCode, APauseAfterTheLastDigitEndsTheCodeCountedFromWhenItLastSounded) {
  DtmfCode code(2000);
  Keys(code, "45");  // the 5 at 100 ms
  EXPECT_EQ(code.EndsAt(), 2100);
  EXPECT_EQ(code.PauseAt(2099), std::nullopt);
  code.Sounded(400);  // the tone held until 400 ms
  EXPECT_EQ(code.PauseAt(2399), std::nullopt);
  EXPECT_EQ(code.PauseAt(2400), "45");
  EXPECT_EQ(code.PauseAt(9000), std::nullopt);  // given once
  code.Sounded(9000);                            // a tone's end with nothing gathered
  EXPECT_EQ(code.EndsAt(), std::nullopt);
}

TEST(DtmfCode, AnOverlongCodeIsCutOtherCharactersAreIgnoredAndForgettingStartsAfresh) {
  DtmfCode code(2000);
  EXPECT_EQ(Keys(code, std::string(kLongestDtmfCode + 8, '5') + "#"),
            std::vector<std::string>{std::string(kLongestDtmfCode, '5')});
  EXPECT_EQ(Keys(code, "1 2\na-b\r3E#"), std::vector<std::string>{"123"});
  Keys(code, "99");
  code.Forget();
  EXPECT_EQ(Keys(code, "7#", 200), std::vector<std::string>{"7"});
  EXPECT_TRUE(IsDtmfText("0123456789ABCD*#"));
  EXPECT_TRUE(IsDtmfText(""));
  EXPECT_FALSE(IsDtmfText("12 3"));
  EXPECT_FALSE(IsDtmfText("abcd"));
}

}  // namespace
}  // namespace horatone
