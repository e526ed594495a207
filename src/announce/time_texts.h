// The time as text: the long-time text the clock shows and the schedule compares, the hour,
// minute and AM/PM texts that name clips, and the greeting of the hour.
#pragma once

#include <string>
#include <string_view>

#include "shell/services.h"

namespace horatone {

// "HH:MM:SS", 24-hour, zero-padded.
std::string LongTimeText(const LocalTime& time);
// "01" to "12" on the 12-hour clock (midnight and noon give "12"), else "00" to "23".
std::string HourText(const LocalTime& time, bool twelve_hour);
std::string MinuteText(const LocalTime& time);
std::string AmPmText(const LocalTime& time);
std::string_view GreetingClip(int hour);

}  // namespace horatone
