// The voice check; see voice_check.h.
#include "platform/audio/voice_check.h"

#include <cstdio>
#include <set>

#include "announce/clip_names.h"
#include "platform/audio/clip_decoder.h"

namespace horatone {
namespace {

constexpr int kMinutesPerDay = 24 * 60;

std::string TwoDigits(int n) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", n % 100);
  return text;
}

// The clips one spoken minute needs: time-is, hour and minute, and the suffix ("AM"/"PM" in
// 12-hour speech with the suffix on, "Blank" otherwise, which is also the plain lead-in).
std::vector<std::string> ClipsOfMinute(int minute_of_day, bool twelve_hour) {
  const int hour = minute_of_day / 60;
  const int minute = minute_of_day % 60;
  std::vector<std::string> needed{std::string(clips::kTheTimeIs), TwoDigits(minute)};
  if (twelve_hour) {
    needed.push_back(TwoDigits(hour % 12 == 0 ? 12 : hour % 12));
    needed.emplace_back(hour < 12 ? clips::kAm : clips::kPm);
  } else {
    needed.push_back(TwoDigits(hour));
    needed.emplace_back(clips::kBlank);
  }
  return needed;
}

}  // namespace

VoiceCheckResult CheckVoiceFolder(const std::string& folder, const std::string& format,
                                  const PathMapper& mapper) {
  VoiceCheckResult result;
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
  result.folder_file = mapper.Map(prefix).string();

  std::set<std::string> bad;
  for (std::string_view name : clips::kAll) {
    const std::string file_name = std::string(name) + "." + format;
    const std::filesystem::path file = mapper.Map(prefix + file_name);
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
      result.missing.push_back(file_name);
      bad.insert(std::string(name));
      continue;
    }
    std::shared_ptr<const DecodedClip> clip;
    Status status = DecodeClipFile(file, &clip);
    if (!status) {
      result.unreadable.push_back(file_name + ": " + status.message);
      bad.insert(std::string(name));
    }
  }

  for (bool twelve_hour : {true, false}) {
    int& spoken = twelve_hour ? result.minutes_12_hour : result.minutes_24_hour;
    std::string& first_silent =
        twelve_hour ? result.first_silent_12_hour : result.first_silent_24_hour;
    for (int m = 0; m < kMinutesPerDay; ++m) {
      bool ok = true;
      for (const std::string& clip : ClipsOfMinute(m, twelve_hour)) ok = ok && !bad.contains(clip);
      if (ok) {
        ++spoken;
      } else if (first_silent.empty()) {
        first_silent = TwoDigits(m / 60) + ":" + TwoDigits(m % 60);
      }
    }
  }
  return result;
}

int CheckVoiceCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const PathMapper& mapper) {
  if (args.empty() || args.size() > 2 ||
      (args.size() == 2 && args[1] != "wav" && args[1] != "mp3")) {
    err << "usage: horatone check-voice FOLDER [wav|mp3]\n";
    return 2;
  }
  const std::string format = args.size() == 2 ? args[1] : "wav";
  const VoiceCheckResult result = CheckVoiceFolder(args[0], format, mapper);

  out << "Voice folder " << args[0] << " (" << result.folder_file << "), " << format << " clips\n";
  for (const std::string& name : result.missing) out << "missing: " << name << "\n";
  for (const std::string& line : result.unreadable) out << "unreadable: " << line << "\n";
  const int readable =
      static_cast<int>(clips::kAll.size() - result.missing.size() - result.unreadable.size());
  out << readable << " of " << clips::kAll.size() << " clips present and readable\n";
  for (bool twelve_hour : {true, false}) {
    const int spoken = twelve_hour ? result.minutes_12_hour : result.minutes_24_hour;
    out << (twelve_hour ? "12-hour" : "24-hour") << ": ";
    if (spoken == kMinutesPerDay) {
      out << "every minute of the day can be spoken\n";
    } else {
      out << spoken << " of " << kMinutesPerDay << " minutes can be spoken (first silent minute "
          << (twelve_hour ? result.first_silent_12_hour : result.first_silent_24_hour) << ")\n";
    }
  }
  return result.Complete() ? 0 : 1;
}

}  // namespace horatone
