// What node programs send, made fit for the log: escaped, cut, and limited in rate.
#include "node/log_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "node/bounded_lines.h"
#include "node/rate_limited_log.h"

namespace horatone {
namespace {

TEST(LogText, KeepsPrintableTextAndUtf8AndEscapesEverythingElse) {
  EXPECT_EQ(LogText("SQL 1 <i>&amp;", 80), "SQL 1 <i>&amp;");
  EXPECT_EQ(LogText("Grüße 日本", 80), "Grüße 日本");
  EXPECT_EQ(LogText(std::string("a\0b\tc\x7F\n", 7), 80), "a\\x00b\\x09c\\x7F\\x0A");
  // C1 controls, a lone continuation byte, a cut sequence, an overlong form, a surrogate.
  EXPECT_EQ(LogText("\xC2\x9B" "1m", 80), "\\xC2\\x9B1m");
  EXPECT_EQ(LogText("\x80x\xE6\x97", 80), "\\x80x\\xE6\\x97");
  EXPECT_EQ(LogText("\xC0\xAF\xED\xA0\x80", 80), "\\xC0\\xAF\\xED\\xA0\\x80");
  EXPECT_EQ(LogText("\\x41", 80), "\\\\x41");
}

TEST(LogText, IsCutToTheLimitBetweenCharactersAndEscapesWithAMark) {
  EXPECT_EQ(LogText("abcdefgh", 8), "abcdefgh");
  EXPECT_EQ(LogText("abcdefghi", 8), "abcde...");
  // Never half an escape or half a character.
  EXPECT_EQ(LogText("ab\x01\x02" "cdef", 10), "ab\\x01...");
  EXPECT_EQ(LogText("abc日本", 8), "abc...");
  const std::string cut = LogText(std::string(100000, '\xFF'), 80);
  EXPECT_LE(cut.size(), 80u);
  EXPECT_EQ(cut.substr(cut.size() - 7), "\\xFF...");
}

TEST(RateLimitedLog, WritesTheFirstFiveOfTenSecondsAndCountsTheRest) {
  RateLimitedLog limit("SvxLink: ", "refused reports");
  std::string summary;
  int allowed = 0;
  for (int i = 0; i < 2000; ++i) allowed += limit.Allow(1000 + i, &summary) ? 1 : 0;
  EXPECT_EQ(allowed, 5);
  EXPECT_EQ(summary, "");
  // The next window starts with the count of those held back.
  EXPECT_TRUE(limit.Allow(11000, &summary));
  EXPECT_EQ(summary, "SvxLink: 1995 more refused reports not logged one by one");
  EXPECT_EQ(limit.Summary(), "");
}

TEST(BoundedLines, HoldsNoMoreThanOneLineWhateverComes) {
  BoundedLines lines(8);
  std::vector<std::pair<std::string, bool>> seen;
  const auto each = [&seen](std::string_view line, bool too_long) {
    seen.emplace_back(std::string(line), too_long);
  };
  lines.Feed("12345678\r\n123456789\n", each);
  for (int i = 0; i < 1000; ++i) lines.Feed("abcdefghijklmnop", each);
  EXPECT_LE(lines.pending(), 10u);
  lines.Feed("tail\nok\r\n", each);
  const std::vector<std::pair<std::string, bool>> expected = {
      {"12345678", false}, {"12345678", true}, {"abcdefgh", true}, {"ok", false}};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace horatone
