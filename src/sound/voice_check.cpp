// The voice check; see voice_check.h.
#include "sound/voice_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <limits>
#include <set>
#include <sstream>

#include "announce/clip_names.h"
#include "runtime/ini_profile_file.h"
#include "shell/schedule_rules.h"
#include "shell/texts.h"
#include "sound/clip_decoder.h"

namespace horatone {
namespace {

constexpr int kMinutesPerDay = 24 * 60;

// What sounds bad on air. A peak this close to full scale is clipped, or leaves the
// transmitter's audio stage no headroom; a clip this much quieter than the voice's median is
// lost under the others; silences this long at an edge make the announcement halt.
constexpr double kClippedDb = -0.1;
constexpr double kQuietByDb = 10;
constexpr double kLongSilenceS = 0.3;
constexpr double kAbruptStartDb = -40;
constexpr double kStartS = 0.002;

double Db(double amplitude) {
  return amplitude > 0 ? 20 * std::log10(amplitude) : -std::numeric_limits<double>::infinity();
}

std::string Fixed(double value, int decimals) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

std::string DbText(double db) {
  if (!std::isfinite(db)) return "-inf";
  return Fixed(std::abs(db) < 0.05 ? 0.0 : db, 1);  // no "-0.0"
}

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

int VoiceCheckResult::ClipsWithProblems() const {
  return static_cast<int>(std::count_if(clips.begin(), clips.end(),
                                        [](const ClipLevels& c) { return !c.problems.empty(); }));
}

ClipLevels MeasureClip(const std::string& file_name, const DecodedClip& clip) {
  ClipLevels levels;
  levels.file_name = file_name;
  levels.sample_rate = clip.sample_rate;
  levels.channels = clip.channels;
  levels.seconds = clip.Duration();

  // A frame's level is its loudest channel.
  const int channels = std::max(clip.channels, 1);
  const int64_t frames =
      std::min<int64_t>(clip.frames, static_cast<int64_t>(clip.samples.size()) / channels);
  const auto frame_level = [&](int64_t frame) {
    float level = 0;
    for (int c = 0; c < channels; ++c) {
      level = std::max(level, std::abs(clip.samples[static_cast<size_t>(frame * channels + c)]));
    }
    return level;
  };
  const double silence = std::pow(10.0, kSilenceDb / 20);
  const int64_t start_frames = static_cast<int64_t>(kStartS * clip.sample_rate);
  int64_t first_loud = -1, last_loud = -1;
  float peak = 0, start_peak = 0;
  for (int64_t f = 0; f < frames; ++f) {
    const float level = frame_level(f);
    peak = std::max(peak, level);
    if (f < start_frames) start_peak = std::max(start_peak, level);
    if (level >= silence) {
      if (first_loud < 0) first_loud = f;
      last_loud = f;
    }
  }
  levels.peak_db = Db(peak);
  levels.start_db = Db(start_peak);
  if (first_loud < 0) {
    levels.lead_s = levels.trail_s = levels.seconds;
    levels.rms_db = -std::numeric_limits<double>::infinity();
  } else {
    levels.lead_s = clip.Seconds(first_loud);
    levels.trail_s = clip.Seconds(frames - 1 - last_loud);
    double sum = 0;
    const size_t begin = static_cast<size_t>(first_loud * channels);
    const size_t end = static_cast<size_t>((last_loud + 1) * channels);
    for (size_t i = begin; i < end; ++i) sum += double{clip.samples[i]} * clip.samples[i];
    levels.rms_db = Db(std::sqrt(sum / static_cast<double>(end - begin)));
  }

  // "Blank" is meant to be silent; every other clip must carry sound.
  const bool blank = file_name.starts_with(std::string(clips::kBlank) + ".");
  if (levels.peak_db >= kClippedDb) {
    levels.problems.push_back("peak " + DbText(levels.peak_db) +
                              " dBFS: clipped or no headroom; lower it to -1 dBFS");
  }
  if (levels.seconds > kLongestVoiceClipSeconds) {
    levels.problems.push_back(Fixed(levels.seconds, 1) + " s long, more than a voice's clip (" +
                              Fixed(kLongestVoiceClipSeconds, 0) + " s at most)");
  }
  if (blank) return levels;
  if (first_loud < 0) {
    levels.problems.push_back("no sound");
    return levels;
  }
  if (levels.lead_s > kLongSilenceS) {
    levels.problems.push_back(Fixed(levels.lead_s, 2) + " s of silence before the sound");
  }
  if (levels.trail_s > kLongSilenceS) {
    levels.problems.push_back(Fixed(levels.trail_s, 2) + " s of silence after the sound");
  }
  if (levels.start_db > kAbruptStartDb) {
    levels.problems.push_back("starts abruptly (" + DbText(levels.start_db) +
                              " dBFS in the first 2 ms), a click on air: fade it in");
  }
  return levels;
}

std::vector<std::pair<std::string, std::string>> ScheduleClips(const PathMapper& mapper) {
  IniProfileFile profile(mapper, std::string(texts::kSettingsFile));
  std::vector<std::pair<std::string, std::string>> named;
  const std::string section(kScheduleSection);
  for (const ScheduleKey& entry : kScheduleKeys) {
    if (entry.key != "IDCLIP" && !entry.key.starts_with("MESSAGE")) continue;
    ScheduleRules rules;
    const std::string key(entry.key);
    // A value the clock would refuse names no clip; the clock reports it at start-up.
    if (!entry.apply(rules, profile.GetString(section, key, "")).ok()) continue;
    if (!rules.id_clip.empty()) named.emplace_back(rules.id_clip, section + "." + key);
    for (const ScheduledMessage& message : rules.messages) {
      if (!message.clip.empty()) named.emplace_back(message.clip, section + "." + key);
    }
  }
  return named;
}

VoiceCheckResult CheckVoiceFolder(const std::string& folder, const std::string& format,
                                  const PathMapper& mapper,
                                  const std::vector<std::string>& extra_clips) {
  VoiceCheckResult result;
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
  result.folder_file = mapper.Map(prefix).string();

  std::set<std::string> bad;
  std::vector<std::string_view> names(clips::kAll.begin(), clips::kAll.end());
  for (const std::string& extra : extra_clips) {
    if (std::find(names.begin(), names.end(), extra) == names.end()) names.push_back(extra);
  }
  for (std::string_view name : names) {
    const std::string file_name = std::string(name) + "." + format;
    const std::filesystem::path file = mapper.Map(prefix + file_name);
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
      result.missing.push_back(file_name);
      bad.insert(std::string(name));
      continue;
    }
    const ClipResult clip = DecodeClipFile(file);
    if (!clip) {
      result.unreadable.push_back(file_name + ": " + clip.message());
      bad.insert(std::string(name));
      continue;
    }
    result.clips.push_back(MeasureClip(file_name, **clip));
  }

  // A clip far quieter than the voice's usual loudness (the median of its sounding clips).
  std::vector<double> loudness;
  for (const ClipLevels& c : result.clips) {
    if (std::isfinite(c.rms_db)) loudness.push_back(c.rms_db);
  }
  if (!loudness.empty()) {
    std::nth_element(loudness.begin(), loudness.begin() + loudness.size() / 2, loudness.end());
    const double median = loudness[loudness.size() / 2];
    for (ClipLevels& c : result.clips) {
      if (std::isfinite(c.rms_db) && c.rms_db < median - kQuietByDb) {
        c.problems.push_back("RMS " + DbText(c.rms_db) + " dBFS, " + Fixed(median - c.rms_db, 1) +
                             " dB quieter than the voice's usual " + DbText(median) + " dBFS");
      }
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
  const std::vector<std::pair<std::string, std::string>> scheduled = ScheduleClips(mapper);
  std::vector<std::string> extra;
  for (const auto& [clip, key] : scheduled) extra.push_back(clip);
  const VoiceCheckResult result = CheckVoiceFolder(args[0], format, mapper, extra);

  out << "Voice folder " << args[0] << " (" << result.folder_file << "), " << format << " clips\n";
  out << "clip                rate ch  seconds   peak    RMS  start   lead  trail  (dBFS, s)\n";
  for (const ClipLevels& c : result.clips) {
    out << std::left << std::setw(18) << c.file_name << std::right << std::setw(6) << c.sample_rate
        << std::setw(3) << c.channels << std::setw(9) << Fixed(c.seconds, 3) << std::setw(7)
        << DbText(c.peak_db) << std::setw(7) << DbText(c.rms_db) << std::setw(7)
        << DbText(c.start_db) << std::setw(7) << Fixed(c.lead_s, 3) << std::setw(7)
        << Fixed(c.trail_s, 3) << "\n";
  }
  for (const ClipLevels& c : result.clips) {
    for (const std::string& problem : c.problems) {
      out << "to fix: " << c.file_name << ": " << problem << "\n";
    }
  }
  for (const std::string& name : result.missing) out << "missing: " << name << "\n";
  for (const std::string& line : result.unreadable) out << "unreadable: " << line << "\n";
  std::set<std::string> added;
  for (const auto& [clip, key] : scheduled) {
    if (std::find(clips::kAll.begin(), clips::kAll.end(), clip) == clips::kAll.end()) {
      added.insert(clip);
    }
    out << "the schedule speaks " << clip << "." << format << " (" << key << ")\n";
  }
  const std::size_t total = clips::kAll.size() + added.size();
  const int readable =
      static_cast<int>(total - result.missing.size() - result.unreadable.size());
  out << readable << " of " << total << " clips present and readable\n";
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
  const int to_fix = result.ClipsWithProblems();
  if (to_fix > 0) out << to_fix << (to_fix == 1 ? " clip" : " clips") << " will sound bad on air\n";
  return result.Complete() ? 0 : 1;
}

}  // namespace horatone
