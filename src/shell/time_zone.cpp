// Offsets come from the date library's tz part over the system's zone database; the wall
// clock arithmetic is <chrono>'s.
#include "shell/time_zone.h"

#include <date/tz.h>

#include <chrono>
#include <exception>

namespace horatone {

std::int64_t CivilToEpochMs(const LocalTime& time) {
  using namespace std::chrono;
  const sys_days day = year_month_day{year{time.year}, month{static_cast<unsigned>(time.month)},
                                      std::chrono::day{static_cast<unsigned>(time.day)}};
  return duration_cast<milliseconds>(day.time_since_epoch()).count() +
         ((time.hour * 60LL + time.minute) * 60 + time.second) * 1000 + time.millisecond;
}

LocalTime EpochMsToCivil(std::int64_t epoch_ms) {
  using namespace std::chrono;
  const sys_time<milliseconds> moment{milliseconds{epoch_ms}};
  const sys_days day = floor<days>(moment);
  const year_month_day ymd{day};
  const hh_mm_ss<milliseconds> clock{moment - day};
  return LocalTime{static_cast<int>(ymd.year()),
                   static_cast<int>(static_cast<unsigned>(ymd.month())),
                   static_cast<int>(static_cast<unsigned>(ymd.day())),
                   static_cast<int>(clock.hours().count()),
                   static_cast<int>(clock.minutes().count()),
                   static_cast<int>(clock.seconds().count()),
                   static_cast<int>(clock.subseconds().count())};
}

std::shared_ptr<const TimeZone> TimeZone::Utc() {
  auto zone = std::make_shared<TimeZone>();
  zone->name_ = "UTC";
  return zone;
}

Result<std::shared_ptr<const TimeZone>> TimeZone::Load(std::string_view name) {
  const std::string quoted = "\"" + std::string(name) + "\"";
  // The database knows its zones by name; a name is looked up among them, never opened as a
  // path, so no name reaches a file outside it.
  if (name.empty()) return Status::BadInput("an empty name is not a time zone");
  try {
    auto zone = std::make_shared<TimeZone>();
    zone->name_ = std::string(name);
    zone->zone_ = date::locate_zone(zone->name_);
    return std::shared_ptr<const TimeZone>(std::move(zone));
  } catch (const std::exception& error) {
    return Status::BadInput(quoted + " is not a time zone of the system's database (" +
                            error.what() + ")");
  }
}

int TimeZone::OffsetAt(std::int64_t epoch_seconds) const {
  if (zone_ == nullptr) return 0;
  const date::sys_seconds moment{std::chrono::seconds{epoch_seconds}};
  return static_cast<int>(zone_->get_info(moment).offset.count());
}

LocalTime TimeZone::ToLocal(std::int64_t epoch_ms) const {
  const std::int64_t seconds = epoch_ms >= 0 ? epoch_ms / 1000 : (epoch_ms - 999) / 1000;
  return EpochMsToCivil(epoch_ms + OffsetAt(seconds) * 1000LL);
}

std::int64_t TimeZone::FromLocal(const LocalTime& local) const {
  const std::int64_t as_utc = CivilToEpochMs(local);
  // The offset before the wall time, then the offset at the moment that gives.
  const std::int64_t guess = as_utc - OffsetAt(as_utc / 1000 - 86400) * 1000LL;
  return as_utc - OffsetAt(guess / 1000) * 1000LL;
}

}  // namespace horatone
