#include "announce/time_texts.h"

#include <cstdio>

#include "announce/clip_names.h"

namespace horatone {
namespace {

std::string TwoDigits(int n) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", n % 100);
  return text;
}

}  // namespace

std::string LongTimeText(const LocalTime& time) {
  return TwoDigits(time.hour) + ":" + TwoDigits(time.minute) + ":" + TwoDigits(time.second);
}

std::string HourText(const LocalTime& time, bool twelve_hour) {
  if (!twelve_hour) return TwoDigits(time.hour);
  const int hour = time.hour % 12;
  return TwoDigits(hour == 0 ? 12 : hour);
}

std::string MinuteText(const LocalTime& time) { return TwoDigits(time.minute); }

std::string AmPmText(const LocalTime& time) { return time.hour < 12 ? "AM" : "PM"; }

std::string_view GreetingClip(int hour) {
  if (hour < 12) return clips::kGoodMorning;
  if (hour < 18) return clips::kGoodAfternoon;
  return clips::kGoodEvening;
}

}  // namespace horatone
