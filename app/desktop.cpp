#include "desktop.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "sound/audio_engine.h"
#include "sound/voice_check.h"
#include "ui/qt/main_window.h"
#include "ui/qt/run_window.h"
#include "shell/form1.h"

namespace horatone {

namespace {

bool VoiceComplete(const std::string& folder, bool mp3, const PathMapper& mapper) {
  return CheckVoiceFolder(folder, mp3 ? "mp3" : "wav", mapper).Complete();
}

// The voice generator: installed with the package (share/horatone/tools/make-voices), or the
// source tree's when the program runs from its build folder. It makes every ready-made voice
// under the system directory.
VoiceGenerator FindVoiceGenerator(const PathMapper& mapper) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  std::vector<std::filesystem::path> candidates;
  if (!error) candidates.push_back(self.parent_path().parent_path() / "share/horatone/tools/make-voices");
  candidates.emplace_back(HORATONE_TOOLS_DIR "/make-voices");
  for (const std::filesystem::path& program : candidates) {
    if (access(program.c_str(), X_OK) != 0) continue;
    return {{program.string(), mapper.system_dir().string()}, mapper.system_dir().string(), {}};
  }
  return {};
}

}  // namespace

// What the voice check says of a folder, in a few words for the window, and where on disk
// it looked.
std::string VoiceStatus(const std::string& folder, bool mp3, const PathMapper& mapper) {
  if (folder.empty()) return "";
  const char last = folder.back();
  if (last != '\\' && last != '/') return "no final \\: no clip will be found";
  const VoiceCheckResult result = CheckVoiceFolder(folder, mp3 ? "mp3" : "wav", mapper);
  const std::string where = " in " + mapper.Map(folder).string();
  if (result.Complete()) return "clips complete" + where;
  const size_t missing = result.missing.size() + result.unreadable.size();
  return std::to_string(missing) + (missing == 1 ? " clip missing" : " clips missing") + where;
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
      .generator = FindVoiceGenerator(mapper),
      .on_started =
          [&form, log](Form1& started) {
            form = &started;
            form->log = log;
          },
      .on_finished = [&form] { form = nullptr; }};
  if (!window.generator.command.empty()) {
    window.generator.voices_missing = [&form, &mapper] {
      return form && !VoiceComplete(form->FileLocation.text(), form->OptionMP3.value(), mapper);
    };
  }
  const int code = RunWindow(argc, argv, window);
  if (const Status finalized = engine->FinalizeCapture(); !finalized) log("capture: " + finalized.message);
  return code;
}

}  // namespace horatone
