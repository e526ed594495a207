// The schedule's keys: each text checked and turned into the rules the clock follows.
#include "shell/schedule_rules.h"

#include <chrono>

#include "shell/parse_number.h"

namespace horatone {
namespace {

Status Bad(std::string_view text, std::string_view expected) {
  return Status::BadInput("\"" + std::string(text) + "\" is not valid: expected " +
                          std::string(expected));
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t from = 0;
  while (true) {
    const std::size_t at = text.find(separator, from);
    parts.push_back(text.substr(from, at == std::string_view::npos ? at : at - from));
    if (at == std::string_view::npos) return parts;
    from = at + 1;
  }
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "HH:MM" as a minute of the day.
std::optional<int> MinuteOfDay(std::string_view text) {
  text = Trim(text);
  if (text.size() != 5 || text[2] != ':') return std::nullopt;
  const Result<int> hour = ParseNumber(text.substr(0, 2), 0, 23);
  const Result<int> minute = ParseNumber(text.substr(3, 2), 0, 59);
  if (!hour || !minute) return std::nullopt;
  return *hour * 60 + *minute;
}

// A clip name of a voice folder: a plain file name without its extension.
bool IsClipName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name == "." || name == "..") return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == ' ';
    if (!ok) return false;
  }
  return true;
}

Status ApplyQuiet(ScheduleRules& rules, std::string_view text) {
  rules.quiet.reset();
  if (Trim(text).empty()) return Status::Ok();
  const std::vector<std::string_view> ends = Split(text, '-');
  const auto from = ends.size() == 2 ? MinuteOfDay(ends[0]) : std::nullopt;
  const auto to = ends.size() == 2 ? MinuteOfDay(ends[1]) : std::nullopt;
  if (!from || !to) return Bad(text, "HH:MM-HH:MM or nothing");
  if (*from == *to) return Bad(text, "a span whose start and end differ");
  rules.quiet = std::pair{*from, *to};
  return Status::Ok();
}

Status ApplyQuietAll(ScheduleRules& rules, std::string_view text) {
  const std::string_view value = Trim(text);
  if (value != "0" && value != "1") return Bad(text, "0 or 1");
  rules.quiet_all = value == "1";
  return Status::Ok();
}

Status ApplyMinutes(ScheduleRules& rules, std::string_view text) {
  rules.minutes.fill(false);
  if (Trim(text).empty()) return Status::Ok();
  std::array<bool, 60> minutes{};
  for (std::string_view part : Split(text, ',')) {
    const Result<int> minute = ParseNumber(Trim(part), 0, 59);
    if (!minute) return Bad(text, "minutes 0 to 59 separated by commas");
    minutes[*minute] = true;
  }
  rules.minutes = minutes;
  return Status::Ok();
}

Status ApplyZone(ScheduleRules& rules, std::string_view text) {
  const std::string_view name = Trim(text);
  rules.zone.reset();
  if (name.empty() || name == "local") return Status::Ok();
  if (name == "UTC") {
    rules.zone = TimeZone::Utc();
    return Status::Ok();
  }
  Result<std::shared_ptr<const TimeZone>> zone = TimeZone::Load(name);
  if (!zone) return Bad(text, "local, UTC or a time zone name such as Europe/Berlin");
  rules.zone = *zone;
  return Status::Ok();
}

Status ApplyIdClip(ScheduleRules& rules, std::string_view text) {
  const std::string_view name = Trim(text);
  rules.id_clip.clear();
  if (name.empty()) return Status::Ok();
  if (!IsClipName(name)) return Bad(text, "a clip name (letters, digits, _ - and blanks)");
  rules.id_clip = std::string(name);
  return Status::Ok();
}

Status ApplyIdEvery(ScheduleRules& rules, std::string_view text) {
  const Result<int> minutes = ParseNumber(Trim(text), 0, 1440);
  if (!minutes) return Bad(text, "minutes, 0 to 1440");
  rules.id_every = *minutes;
  return Status::Ok();
}

constexpr std::string_view kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// "YYYY-MM-DD" or "MM-DD" (year 0).
std::optional<std::array<int, 3>> DateOf(std::string_view text) {
  text = Trim(text);
  int year = 0;
  if (text.size() == 10 && text[4] == '-') {
    const Result<int> y = ParseNumber(text.substr(0, 4), 1970, 9999);
    if (!y) return std::nullopt;
    year = *y;
    text.remove_prefix(5);
  }
  if (text.size() != 5 || text[2] != '-') return std::nullopt;
  const Result<int> m = ParseNumber(text.substr(0, 2), 1, 12);
  const Result<int> d = ParseNumber(text.substr(3, 2), 1, 31);
  if (!m || !d) return std::nullopt;
  namespace chrono = std::chrono;
  const chrono::year check_year{year == 0 ? 2000 : year};  // a leap year allows Feb 29
  if (!chrono::year_month_day{check_year, chrono::month{unsigned(*m)}, chrono::day{unsigned(*d)}}
           .ok()) {
    return std::nullopt;
  }
  return std::array<int, 3>{year, *m, *d};
}

std::optional<ScheduledMessage::Days> DaysOf(std::string_view text) {
  text = Trim(text);
  ScheduledMessage::Days days;
  if (text == "daily") return days;
  for (int weekday = 0; weekday < 7; ++weekday) {
    if (text == kWeekdays[weekday]) {
      days.kind = ScheduledMessage::Days::Kind::kWeekday;
      days.weekday = weekday;
      return days;
    }
  }
  const std::size_t dots = text.find("..");
  const auto from = DateOf(text.substr(0, dots));
  const auto to = dots == std::string_view::npos ? from : DateOf(text.substr(dots + 2));
  if (!from || !to || ((*from)[0] == 0) != ((*to)[0] == 0)) return std::nullopt;
  days.kind = ScheduledMessage::Days::Kind::kDates;
  days.from_year = (*from)[0], days.from_month = (*from)[1], days.from_day = (*from)[2];
  days.to_year = (*to)[0], days.to_month = (*to)[1], days.to_day = (*to)[2];
  return days;
}

constexpr std::string_view kMessageForm =
    "clip;days;times: days daily, Mon to Sun, YYYY-MM-DD, MM-DD or a span A..B of dates, "
    "several with commas; times HH:MM with commas, or * for every announcement";

template <int kIndex>
Status ApplyMessage(ScheduleRules& rules, std::string_view text) {
  ScheduledMessage& slot = rules.messages[kIndex];
  slot = ScheduledMessage{};
  if (!Trim(text).empty()) {
    const std::vector<std::string_view> parts = Split(text, ';');
    if (parts.size() != 3 || !IsClipName(Trim(parts[0]))) return Bad(text, kMessageForm);
    ScheduledMessage message;
    message.clip = std::string(Trim(parts[0]));
    for (std::string_view day : Split(parts[1], ',')) {
      const auto days = DaysOf(day);
      if (!days) return Bad(text, kMessageForm);
      message.days.push_back(*days);
    }
    if (Trim(parts[2]) != "*") {
      for (std::string_view time : Split(parts[2], ',')) {
        const auto minute = MinuteOfDay(time);
        if (!minute) return Bad(text, kMessageForm);
        message.times.push_back(*minute);
      }
    }
    slot = std::move(message);
  }
  return Status::Ok();
}

bool DayMatches(const ScheduledMessage::Days& days, const LocalTime& time) {
  using namespace std::chrono;
  using Kind = ScheduledMessage::Days::Kind;
  if (days.kind == Kind::kDaily) return true;
  const year_month_day date{year{time.year}, month{unsigned(time.month)}, day{unsigned(time.day)}};
  if (days.kind == Kind::kWeekday) {
    return weekday{sys_days{date}}.c_encoding() == static_cast<unsigned>(days.weekday);
  }
  // Dates compared as numbers YYYYMMDD, or MMDD for every year's span (which may wrap the
  // year's end, as in 12-24..01-06).
  if (days.from_year == 0) {
    const int today = time.month * 100 + time.day;
    const int from = days.from_month * 100 + days.from_day, to = days.to_month * 100 + days.to_day;
    return from <= to ? (today >= from && today <= to) : (today >= from || today <= to);
  }
  const long today = time.year * 10000L + time.month * 100 + time.day;
  return today >= days.from_year * 10000L + days.from_month * 100 + days.from_day &&
         today <= days.to_year * 10000L + days.to_month * 100 + days.to_day;
}

}  // namespace

bool ScheduleRules::QuietAt(const LocalTime& time) const {
  if (!quiet) return false;
  const int now = time.hour * 60 + time.minute;
  const auto [from, to] = *quiet;
  return from < to ? (now >= from && now < to) : (now >= from || now < to);
}

std::vector<std::string> ScheduleRules::MessagesAt(const LocalTime& time, bool at_its_time) const {
  std::vector<std::string> clips;
  const int minute = time.hour * 60 + time.minute;
  for (const ScheduledMessage& message : messages) {
    if (message.clip.empty()) continue;
    bool on_day = false;
    for (const auto& days : message.days) on_day = on_day || DayMatches(days, time);
    if (!on_day) continue;
    bool at_time = false;
    for (int t : message.times) at_time = at_time || t == minute;
    if (at_time || (!at_its_time && message.times.empty())) clips.push_back(message.clip);
  }
  return clips;
}

const std::array<ScheduleKey, 6 + kMessageKeys> kScheduleKeys = {{
    {"QUIET", "", "HH:MM-HH:MM: no scheduled announcement from the first time up to the second "
                  "(may wrap midnight); empty: none", ApplyQuiet},
    {"QUIETALL", "0", "1: the DTMF code and the buttons keep the quiet hours too", ApplyQuietAll},
    {"MINUTES", "", "more slots: minutes 0 to 59 of every hour, separated by commas",
     ApplyMinutes},
    {"ZONE", "local", "the time spoken and kept: local, UTC or a zone name (Europe/Berlin)",
     ApplyZone},
    {"IDCLIP", "", "the identification: a clip of the voice folder, without its extension, "
                   "spoken last; empty: none", ApplyIdClip},
    {"IDEVERY", "0", "minutes: identify only when no identification went out for so long; "
                     "0: with every announcement", ApplyIdEvery},
    {"MESSAGE1", "", kMessageForm, ApplyMessage<0>},
    {"MESSAGE2", "", kMessageForm, ApplyMessage<1>},
    {"MESSAGE3", "", kMessageForm, ApplyMessage<2>},
    {"MESSAGE4", "", kMessageForm, ApplyMessage<3>},
}};

const ScheduleKey* FindScheduleKey(std::string_view key) {
  for (const ScheduleKey& entry : kScheduleKeys) {
    if (entry.key.size() != key.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < key.size(); ++i) {
      const char c = key[i];
      same = same && (c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c) == entry.key[i];
    }
    if (same) return &entry;
  }
  return nullptr;
}

std::string TrimmedValue(std::string_view text) { return std::string(Trim(text)); }

}  // namespace horatone
