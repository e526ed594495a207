// The voice check: whether a voice folder holds every clip the clock may speak, each one
// readable, and whether every minute of the day can be spoken in 12- and 24-hour form; and how
// each clip will sound on air (levels, silences at its edges), with what an operator who
// recorded a voice should fix. Also the `check-voice` subcommand that prints it all.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sound/clip_decoder.h"
#include "runtime/path_mapper.h"

namespace horatone {

// How one readable clip will sound on air. Levels in dBFS (full scale 0 dB, digital silence
// -inf); silence is everything below kSilenceDb.
struct ClipLevels {
  std::string file_name;
  int sample_rate = 0;
  int channels = 0;
  double seconds = 0;
  double peak_db = 0;
  double rms_db = 0;                  // over the sound, from its first to its last loud sample
  double start_db = 0;                // peak of the first 2 ms: a loud start clicks
  double lead_s = 0;                  // silence before the sound
  double trail_s = 0;                 // silence after it
  std::vector<std::string> problems;  // what will sound bad, for the operator to fix
};

inline constexpr double kSilenceDb = -50;
// A voice's clip is a word or a bell; one longer than this holds up the announcement, and a
// clip put in a voice from the page may be no longer.
inline constexpr double kLongestVoiceClipSeconds = 10;

struct VoiceCheckResult {
  std::string folder_file;              // the folder as found on this system
  std::vector<std::string> missing;     // clip file names, in table order
  std::vector<std::string> unreadable;  // "name: why"
  int minutes_12_hour = 0;              // minutes of the day (of 1440) that can be spoken
  int minutes_24_hour = 0;
  std::string first_silent_12_hour;  // "hh:mm" of the first minute that cannot, if any
  std::string first_silent_24_hour;
  std::vector<ClipLevels> clips;  // every readable clip, in table order

  int ClipsWithProblems() const;

  bool Complete() const { return missing.empty() && unreadable.empty(); }
};

// `folder` as the operator writes it (for example C:\HoraVoice\F\); `format` "wav" or "mp3".
// Clip paths are the folder text followed by the clip name, as the clock builds them; a folder
// without a trailing separator gets one.
// `extra_clips`: clip names the settings add (the schedule's identification and messages),
// checked as the voice's own after them.
VoiceCheckResult CheckVoiceFolder(const std::string& folder, const std::string& format,
                                  const PathMapper& mapper,
                                  const std::vector<std::string>& extra_clips = {});

// The clips the schedule of the settings file in `mapper`'s system directory speaks: the
// identification and each message's clip, each with the key that names it.
std::vector<std::pair<std::string, std::string>> ScheduleClips(const PathMapper& mapper);

// Measures one decoded clip and notes its own problems (clipping, long silences, no sound);
// the quiet-clip rule needs the whole voice and is applied by CheckVoiceFolder.
ClipLevels MeasureClip(const std::string& file_name, const DecodedClip& clip);

// `horatone check-voice FOLDER [wav|mp3]`; `args` are the words after "check-voice".
// Exit status: 0 complete (problems of sound are reported, not failed), 1 something missing
// or unreadable, 2 usage.
int CheckVoiceCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const PathMapper& mapper);

}  // namespace horatone
