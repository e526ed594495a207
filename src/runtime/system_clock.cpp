// Local time through localtime_r(), optionally shifted so that it starts at a chosen moment.
// The shifted clock advances with CLOCK_MONOTONIC, so setting the system time does not move it.
#include "runtime/system_clock.h"

#include <time.h>

#include "shell/parse_number.h"

namespace horatone {
namespace {

std::int64_t ClockMs(clockid_t which) {
  timespec ts{};
  clock_gettime(which, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Exactly `width` decimal digits at `pos`; the ranges are checked by the caller.
Result<int> Digits(std::string_view text, std::size_t pos, std::size_t width) {
  return ParseNumber(text.substr(pos, width), 0, 9999);
}

}  // namespace

Result<LocalTime> ParseLocalDateTime(std::string_view text) {
  const auto fail = [&](const std::string& why) -> Result<LocalTime> {
    return Status::BadInput("start time \"" + std::string(text) + "\": " + why);
  };
  constexpr std::string_view kShape = "YYYY-MM-DD HH:MM:SS";
  if (text.size() != kShape.size() || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
      text[13] != ':' || text[16] != ':') {
    return fail("expected the form YYYY-MM-DD HH:MM:SS");
  }
  const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  const auto hour = Digits(text, 11, 2), minute = Digits(text, 14, 2),
             second = Digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) {
    return fail("expected the form YYYY-MM-DD HH:MM:SS");
  }
  if (*year < 1970) return fail("the year must be 1970 or later");
  if (*month < 1 || *month > 12) return fail("the month must be 01 to 12");
  if (*day < 1 || *day > DaysInMonth(*year, *month)) {
    return fail("this month has no day " + std::to_string(*day));
  }
  if (*hour > 23) return fail("the hour must be 00 to 23");
  if (*minute > 59) return fail("the minute must be 00 to 59");
  if (*second > 59) return fail("the second must be 00 to 59");
  return LocalTime{*year, *month, *day, *hour, *minute, *second, 0};
}

SystemClock::SystemClock() { tzset(); }

SystemClock::SystemClock(const LocalTime& start_at) : anchor_mono_ms_(ClockMs(CLOCK_MONOTONIC)) {
  tzset();
  tm fields{};
  fields.tm_year = start_at.year - 1900;
  fields.tm_mon = start_at.month - 1;
  fields.tm_mday = start_at.day;
  fields.tm_hour = start_at.hour;
  fields.tm_min = start_at.minute;
  fields.tm_sec = start_at.second;
  fields.tm_isdst = -1;  // let the time zone say whether daylight saving applies then
  const time_t start = mktime(&fields);
  anchor_epoch_ms_ = static_cast<std::int64_t>(start) * 1000 + start_at.millisecond;
}

std::int64_t SystemClock::EpochMs() const {
  return anchor_epoch_ms_ ? *anchor_epoch_ms_ + (ClockMs(CLOCK_MONOTONIC) - anchor_mono_ms_)
                          : ClockMs(CLOCK_REALTIME);
}

LocalTime SystemClock::Now() const {
  const std::int64_t epoch_ms = EpochMs();
  const time_t seconds = static_cast<time_t>(epoch_ms / 1000);
  tm fields{};
  localtime_r(&seconds, &fields);
  return LocalTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                   fields.tm_min,         fields.tm_sec,     static_cast<int>(epoch_ms % 1000)};
}

}  // namespace horatone
