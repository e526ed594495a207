#include "platform/system_clock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

namespace horatone {
namespace {

TEST(ParseLocalDateTime, ReadsAWellFormedDateAndTime) {
  std::string error;
  const auto parsed = ParseLocalDateTime("2024-02-29 23:59:58", &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->year, 2024);
  EXPECT_EQ(parsed->month, 2);
  EXPECT_EQ(parsed->day, 29);
  EXPECT_EQ(parsed->hour, 23);
  EXPECT_EQ(parsed->minute, 59);
  EXPECT_EQ(parsed->second, 58);
  EXPECT_EQ(parsed->millisecond, 0);
}

TEST(ParseLocalDateTime, RefusesOtherShapesAndImpossibleValuesSayingWhy) {
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"", "YYYY-MM-DD HH:MM:SS"},
      {"2024-01-01T10:00:00", "YYYY-MM-DD HH:MM:SS"},
      {"2024-01-01 10:00", "YYYY-MM-DD HH:MM:SS"},
      {"2024-01-01 10:00:00 ", "YYYY-MM-DD HH:MM:SS"},
      {"2024-1-01 10:00:000", "YYYY-MM-DD HH:MM:SS"},
      {"2024-01-01 1a:00:00", "YYYY-MM-DD HH:MM:SS"},
      {"2023-02-29 10:00:00", "no day 29"},
      {"2100-02-29 10:00:00", "no day 29"},
      {"2024-04-31 10:00:00", "no day 31"},
      {"2024-13-01 10:00:00", "month"},
      {"2024-00-01 10:00:00", "month"},
      {"2024-01-01 24:00:00", "hour"},
      {"2024-01-01 10:60:00", "minute"},
      {"2024-01-01 10:00:60", "second"},
      {"1969-12-31 23:59:59", "1970"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseLocalDateTime(c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " -> " << error;
    EXPECT_NE(error.find(std::string("\"") + c.text + "\""), std::string::npos) << error;
  }
}

TEST(SystemClock, AClockStartedAtAMomentReportsThatMomentInLocalTime) {
  // A zone with daylight saving, in summer: the start moment must survive the round trip.
  const char* old_tz = getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  std::string error;
  const auto start = ParseLocalDateTime("2024-07-14 09:59:00", &error);
  ASSERT_TRUE(start) << error;
  const SystemClock clock(*start);
  const LocalTime now = clock.Now();
  EXPECT_EQ(now.year, 2024);
  EXPECT_EQ(now.month, 7);
  EXPECT_EQ(now.day, 14);
  EXPECT_EQ(now.hour, 9);
  EXPECT_EQ(now.minute, 59);
  if (old_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace horatone
