// Reads the compiled zone files (the 64-bit part of version 2 and later, or the 32-bit part
// of a version 1 file). Moments past the last transition keep the last offset; the files of
// the system's database list their transitions well ahead.
#include "shell/time_zone.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

namespace horatone {
namespace {

std::int64_t BigEndian(std::string_view bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  if (width == 4) return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  return static_cast<std::int64_t>(value);
}

bool IsZoneNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '+' || c == '/';
}

}  // namespace

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

Result<std::shared_ptr<const TimeZone>> TimeZone::Load(std::string_view name,
                                                       const std::filesystem::path& database) {
  const std::string quoted = "\"" + std::string(name) + "\"";
  // Only a plain name below the database's folder: no way up and out of it.
  if (name.empty() || name.front() == '/' || name.find("..") != std::string_view::npos ||
      !std::all_of(name.begin(), name.end(), IsZoneNameChar)) {
    return Status::BadInput(quoted + " is not a time zone name");
  }
  std::ifstream file(database / std::string(name), std::ios::binary);
  if (!file) return Status::BadInput(quoted + " is not a time zone of " + database.string());
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return Parse(name, bytes.str());
}

Result<std::shared_ptr<const TimeZone>> TimeZone::Parse(std::string_view name,
                                                        std::string_view bytes) {
  const auto bad = [&] {
    return Status::BadInput("\"" + std::string(name) + "\" is not a valid time zone file");
  };
  constexpr std::size_t kHeader = 44;
  if (bytes.size() < kHeader || bytes.substr(0, 4) != "TZif") return bad();
  struct Counts {
    std::int64_t isut, isstd, leap, time, type, chars;
  };
  const auto counts_at = [&](std::size_t at) {
    return Counts{BigEndian(bytes, at + 20, 4), BigEndian(bytes, at + 24, 4),
                  BigEndian(bytes, at + 28, 4), BigEndian(bytes, at + 32, 4),
                  BigEndian(bytes, at + 36, 4), BigEndian(bytes, at + 40, 4)};
  };
  const auto block_size = [](const Counts& c, int time_width) {
    return c.time * time_width + c.time + c.type * 6 + c.chars + c.leap * (time_width + 4) +
           c.isstd + c.isut;
  };
  // Counts from the file are trusted only within what a zone file can hold.
  const auto sane = [](const Counts& c) {
    constexpr std::int64_t kMost = 1 << 20;
    for (std::int64_t n : {c.isut, c.isstd, c.leap, c.time, c.type, c.chars}) {
      if (n < 0 || n > kMost) return false;
    }
    return true;
  };
  Counts counts = counts_at(0);
  if (!sane(counts)) return bad();
  std::size_t data = kHeader;
  int width = 4;
  if (bytes[4] >= '2') {
    const std::size_t second = kHeader + static_cast<std::size_t>(block_size(counts, 4));
    if (second + kHeader > bytes.size() || bytes.substr(second, 4) != "TZif") return bad();
    counts = counts_at(second);
    if (!sane(counts)) return bad();
    data = second + kHeader;
    width = 8;
  }
  if (counts.type < 1 || counts.time < 0 || counts.time > 100000 || counts.type > 256 ||
      data + static_cast<std::size_t>(block_size(counts, width)) > bytes.size()) {
    return bad();
  }
  auto zone = std::make_shared<TimeZone>();
  zone->name_ = std::string(name);
  const std::size_t indices = data + counts.time * width;
  const std::size_t types = indices + counts.time;
  std::vector<int> offsets;
  std::vector<bool> dst;
  for (std::int64_t t = 0; t < counts.type; ++t) {
    offsets.push_back(static_cast<int>(BigEndian(bytes, types + t * 6, 4)));
    dst.push_back(bytes[types + t * 6 + 4] != 0);
  }
  for (std::int64_t i = 0; i < counts.time; ++i) {
    const auto type = static_cast<unsigned char>(bytes[indices + i]);
    if (type >= offsets.size()) return bad();
    zone->transitions_.push_back(BigEndian(bytes, data + i * width, width));
    zone->offset_after_.push_back(offsets[type]);
  }
  if (!std::is_sorted(zone->transitions_.begin(), zone->transitions_.end())) return bad();
  // Before the first transition: the first standard-time type, as the format prescribes.
  const auto standard = std::find(dst.begin(), dst.end(), false);
  zone->first_offset_ = offsets[standard == dst.end() ? 0 : standard - dst.begin()];
  return std::shared_ptr<const TimeZone>(std::move(zone));
}

int TimeZone::OffsetAt(std::int64_t epoch_seconds) const {
  const auto after = std::upper_bound(transitions_.begin(), transitions_.end(), epoch_seconds);
  if (after == transitions_.begin()) return first_offset_;
  return offset_after_[after - transitions_.begin() - 1];
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
