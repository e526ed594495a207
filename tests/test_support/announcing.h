// Helpers for tests that run whole announcements: a harness with the default voice folder
// in place, the clips heard by their file names, and waiting for the clock to fall idle.
#pragma once

#include <string>
#include <vector>

#include "test_support/fakes.h"

namespace horatone {

inline constexpr const char* kVoice1 = "C:\\Program Files\\Horatone\\";

// The file names (folder removed) of the clips heard since `from`.
inline std::vector<std::string> HeardNames(const FakeMedia& media, size_t from = 0) {
  std::vector<std::string> names;
  for (size_t i = from; i < media.heard.size(); ++i) {
    const std::string& path = media.heard[i];
    names.push_back(path.substr(path.find_last_of('\\') + 1));
  }
  return names;
}

// Runs until the announcement under way has finished and the transmitter is released.
inline bool RunToIdle(Harness& h, std::int64_t limit_ms = 120000) {
  return h.loop.AdvanceUntil(
      [&] { return !h.form->Timer2.running() && h.form->Announcing == 0 && !h.node.keyed(); },
      limit_ms);
}

// A started window with voice 1 in WAV and MP3, and the given settings lines.
inline Form1& StartWithVoice(Harness& h, const std::string& settings = "") {
  h.media.AddVoice(kVoice1, ".wav", 0.5);
  h.media.AddVoice(kVoice1, ".mp3", 0.5);
  h.media.AddVoice("C:\\HoraVoice\\F\\", ".wav", 0.5);
  if (!settings.empty()) h.WriteSettings("[SETTINGS]\n" + settings);
  Form1& form = h.Start();
  h.loop.AdvanceBy(1100);  // the first clock tick fills the hour and minute texts
  return form;
}

// The same after one whole announcement, which leaves the ready state of a fresh start behind.
inline Form1& StartPastTheFirst(Harness& h, const std::string& settings = "") {
  Form1& form = StartWithVoice(h, settings);
  form.Command29.Click();
  RunToIdle(h);
  return form;
}

}  // namespace horatone
