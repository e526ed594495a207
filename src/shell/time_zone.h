// Time zones from the system's zone database (the compiled files under /usr/share/zoneinfo):
// the offset from UTC at any moment, so that the schedule can speak and keep UTC or a named
// zone whatever the machine's own zone is. Immutable once loaded; safe to share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "shell/services.h"
#include "shell/status.h"

namespace horatone {

class TimeZone {
 public:
  // UTC itself: no offset, ever.
  static std::shared_ptr<const TimeZone> Utc();
  // A zone by its database name ("Europe/Berlin"); fails, saying why, for a name that is not
  // a zone of the database or a file that is not a zone file.
  static Result<std::shared_ptr<const TimeZone>> Load(
      std::string_view name, const std::filesystem::path& database = "/usr/share/zoneinfo");
  // A zone from the bytes of a compiled zone file.
  static Result<std::shared_ptr<const TimeZone>> Parse(std::string_view name,
                                                       std::string_view bytes);

  const std::string& name() const { return name_; }
  // Seconds east of UTC at `epoch_seconds`.
  int OffsetAt(std::int64_t epoch_seconds) const;
  LocalTime ToLocal(std::int64_t epoch_ms) const;
  // The moment a wall-clock time of this zone names (in a repeated or a skipped hour, one of
  // the moments near it).
  std::int64_t FromLocal(const LocalTime& local) const;

 private:
  std::string name_;
  std::vector<std::int64_t> transitions_;  // seconds since the epoch, ascending
  std::vector<int> offset_after_;          // the offset from each transition on
  int first_offset_ = 0;                   // before the first transition
};

// A wall-clock time read as UTC, in milliseconds since the epoch, and back.
std::int64_t CivilToEpochMs(const LocalTime& time);
LocalTime EpochMsToCivil(std::int64_t epoch_ms);

}  // namespace horatone
