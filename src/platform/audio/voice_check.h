// The voice check: whether a voice folder holds every clip the clock may speak, each one
// readable, and whether every minute of the day can be spoken in 12- and 24-hour form.
// Also the `check-voice` subcommand that prints the result for the operator.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/path_mapper.h"

namespace horatone {

struct VoiceCheckResult {
  std::string folder_file;              // the folder as found on this system
  std::vector<std::string> missing;     // clip file names, in table order
  std::vector<std::string> unreadable;  // "name: why"
  int minutes_12_hour = 0;              // minutes of the day (of 1440) that can be spoken
  int minutes_24_hour = 0;
  std::string first_silent_12_hour;  // "hh:mm" of the first minute that cannot, if any
  std::string first_silent_24_hour;

  bool Complete() const { return missing.empty() && unreadable.empty(); }
};

// `folder` as the operator writes it (for example C:\HoraVoice\F\); `format` "wav" or "mp3".
// Clip paths are the folder text followed by the clip name, as the clock builds them; a folder
// without a trailing separator gets one.
VoiceCheckResult CheckVoiceFolder(const std::string& folder, const std::string& format,
                                  const PathMapper& mapper);

// `horatone check-voice FOLDER [wav|mp3]`; `args` are the words after "check-voice".
// Exit status: 0 complete, 1 something missing or unreadable, 2 usage.
int CheckVoiceCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const PathMapper& mapper);

}  // namespace horatone
