// The operator's schedule beyond the three slot boxes: quiet hours, extra minutes, the zone
// the clock speaks and keeps, the station identification and dated or recurring messages.
// They live in their own section of the settings file; each key has one entry in the table
// below with its default and its rule, which the file, `config`, the window and the page share.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/services.h"
#include "shell/status.h"
#include "shell/time_zone.h"

namespace horatone {

inline constexpr std::string_view kScheduleSection = "SCHEDULE";
inline constexpr int kMessageKeys = 4;

// A message: its clip, the days it is spoken on and the times of those days.
struct ScheduledMessage {
  std::string clip;
  // Each day rule, one of: every day; a weekday (0 Sunday to 6 Saturday); a span of dates
  // (year 0 for every year's month and day).
  struct Days {
    enum class Kind { kDaily, kWeekday, kDates } kind = Kind::kDaily;
    int weekday = 0;
    int from_year = 0, from_month = 0, from_day = 0;
    int to_year = 0, to_month = 0, to_day = 0;
  };
  std::vector<Days> days;
  // Minutes of the day; none: with every scheduled announcement of those days.
  std::vector<int> times;
};

struct ScheduleRules {
  // Minutes of the day: quiet from `first` up to, not including, `second` (may wrap midnight).
  std::optional<std::pair<int, int>> quiet;
  bool quiet_all = false;            // the DTMF code and the buttons keep quiet as well
  std::array<bool, 60> minutes{};    // extra slots, at second 0 of these minutes of every hour
  std::shared_ptr<const TimeZone> zone;  // none: the system's local time
  std::string id_clip;
  int id_every = 0;
  std::array<ScheduledMessage, kMessageKeys> messages;  // MESSAGE1...; no clip: unused

  bool QuietAt(const LocalTime& time) const;
  // The message clips due with a scheduled announcement at `time`; `at_its_time` only those
  // whose own times include this minute.
  std::vector<std::string> MessagesAt(const LocalTime& time, bool at_its_time) const;
};

struct ScheduleKey {
  std::string_view key;
  std::string_view default_text;
  std::string_view rule;  // for the operator, in the window, the page and `config`
  // Checks `text` and puts it into `rules`; a failure says what is wrong, without the key.
  Status (*apply)(ScheduleRules& rules, std::string_view text);
};

extern const std::array<ScheduleKey, 6 + kMessageKeys> kScheduleKeys;
const ScheduleKey* FindScheduleKey(std::string_view key);

// Blanks around the text removed, as the settings file reads values.
std::string TrimmedValue(std::string_view text);

}  // namespace horatone
