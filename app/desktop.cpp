#include "desktop.h"

#include <iostream>

#include "platform/audio/audio_engine.h"
#include "platform/audio/voice_check.h"
#include "platform/qt/run_window.h"
#include "shell/form1.h"

namespace horatone {

// What the voice check says of a folder, in a few words for the window.
std::string VoiceStatus(const std::string& folder, bool mp3, const PathMapper& mapper) {
  if (folder.empty()) return "";
  const char last = folder.back();
  if (last != '\\' && last != '/') return "no final \\: no clip will be found";
  const VoiceCheckResult result = CheckVoiceFolder(folder, mp3 ? "mp3" : "wav", mapper);
  if (result.Complete()) return "clips complete";
  const size_t missing = result.missing.size() + result.unreadable.size();
  return std::to_string(missing) + (missing == 1 ? " clip missing" : " clips missing");
}

int RunDesktop(int argc, char** argv, const HeadlessOptions& options) {
  PathMapper mapper(options.root);
  Form1* form = nullptr;
  const auto log = [](const std::string& line) { std::cerr << line << std::endl; };
  std::unique_ptr<AudioEngine> engine = OpenAudioEngine(options, mapper, &form, log);
  if (!engine) return 1;
  WindowOptions window{
      .media = *engine,
      .system_dir = options.root,
      .start_at = options.start_at,
      .nodes = nullptr,
      .voice_status = [&mapper](const std::string& folder,
                                bool mp3) { return VoiceStatus(folder, mp3, mapper); },
      .on_started =
          [&form, log](Form1& started) {
            form = &started;
            form->log = log;
          },
      .on_finished = [&form] { form = nullptr; }};
  const int code = RunWindow(argc, argv, window);
  engine->FinalizeCapture();
  return code;
}

}  // namespace horatone
