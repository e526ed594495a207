// Time zones from the system's zone database (Debian's tzdata, read through the date library's
// tz part): the offset from UTC at any moment, so that the schedule can speak and keep UTC or a
// named zone whatever the machine's own zone is. Immutable once loaded; safe to share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "shell/services.h"
#include "shell/status.h"

namespace date {
class time_zone;
}

namespace horatone {

class TimeZone {
 public:
  // UTC itself: no offset, ever.
  static std::shared_ptr<const TimeZone> Utc();
  // A zone by its database name ("Europe/Berlin", or a link such as "US/Eastern"); fails,
  // saying why, for a name the database does not hold.
  static Result<std::shared_ptr<const TimeZone>> Load(std::string_view name);

  const std::string& name() const { return name_; }
  // Seconds east of UTC at `epoch_seconds`.
  int OffsetAt(std::int64_t epoch_seconds) const;
  LocalTime ToLocal(std::int64_t epoch_ms) const;
  // The moment a wall-clock time of this zone names (in a repeated or a skipped hour, one of
  // the moments near it).
  std::int64_t FromLocal(const LocalTime& local) const;

 private:
  std::string name_;
  const date::time_zone* zone_ = nullptr;  // the database's, for the program's life; none: UTC
};

// A wall-clock time read as UTC, in milliseconds since the epoch, and back.
std::int64_t CivilToEpochMs(const LocalTime& time);
LocalTime EpochMsToCivil(std::int64_t epoch_ms);

}  // namespace horatone
