#include "runtime/system_clock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

namespace horatone {
namespace {

TEST(SystemClock, RefusesBadTimesSayingWhyAndKeepsAGoodOneThroughSummerTimeAndALeapDay) {
  for (const auto& [text, says] : std::initializer_list<std::pair<const char*, const char*>>{
           {"2024-01-01T10:00:00", "YYYY-MM-DD HH:MM:SS"},
           {"2024-01-01 10:00:00 ", "YYYY-MM-DD"},
           {"2023-02-29 10:00:00", "no day 29"},
           {"2100-02-29 10:00:00", "no day 29"},
           {"2024-04-31 10:00:00", "no day 31"},
           {"2024-01-01 24:00:00", "hour"},
           {"2024-00-01 10:00:00", "month"},
           {"2024-01-01 10:00:60", "second"}}) {
    const Result<LocalTime> parsed = ParseLocalDateTime(text);
    const std::string& error = parsed.message();
    EXPECT_FALSE(parsed) << text;
    EXPECT_NE(error.find(says), std::string::npos) << text << " -> " << error;
    EXPECT_NE(error.find(text), std::string::npos) << error;
  }
  const char* old_tz = getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "Europe/Berlin", 1);
  for (const char* text : {"2024-07-14 09:59:00", "2024-02-29 23:59:00"}) {
    const Result<LocalTime> start = ParseLocalDateTime(text);
    ASSERT_TRUE(start) << start.message();
    const LocalTime now = SystemClock(*start).Now();
    EXPECT_EQ((std::array{now.year, now.month, now.day, now.hour, now.minute}),
              (std::array{start->year, start->month, start->day, start->hour, start->minute}));
  }
  old_tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace horatone
