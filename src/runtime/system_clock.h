// The local date and time of this system, for the clock display and the schedule. Optionally
// the clock starts at a given local moment and runs on in real time from there, so that an
// hour change can be heard without waiting for it. Read on the loop thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shell/services.h"
#include "shell/status.h"

namespace horatone {

// "YYYY-MM-DD HH:MM:SS" as a local date and time; fails, saying why, on any other text or an
// impossible date or time.
Result<LocalTime> ParseLocalDateTime(std::string_view text);

class SystemClock : public Clock {
 public:
  // The system's own local time (the time zone comes from TZ or /etc/localtime).
  SystemClock();
  // Starts at `start_at` (local time) now and runs on from there at the pace of the
  // monotonic clock. Daylight-saving changes after the start are followed as usual.
  explicit SystemClock(const LocalTime& start_at);

  LocalTime Now() const override;
  std::int64_t EpochMs() const override;

 private:
  // Milliseconds since the epoch at the monotonic moment `anchor_mono_ms_`; unused when
  // following the system time.
  std::optional<std::int64_t> anchor_epoch_ms_;
  std::int64_t anchor_mono_ms_ = 0;
};

}  // namespace horatone
