// The desktop front end in one call: builds the Qt services, the settings file, the node and
// Form1, runs the load handler, shows the window and serves events until the program ends.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "audio/media_service.h"
#include "echolink/echolink_object.h"
#include "ui/qt/main_window.h"
#include "shell/services.h"

namespace horatone {

class Form1;

struct WindowOptions {
  // The audio engine; the caller keeps it alive until RunWindow returns.
  MediaService& media;
  // Holds Horatone.ini and the drive trees.
  std::filesystem::path system_dir;
  // The clock starts at this local moment and runs on from there (--start-at).
  std::optional<LocalTime> start_at;
  // The node program's adapter; nullptr for the simulated node, which has its panel.
  NodeFactory* nodes = nullptr;
  // Shown beside each voice folder on the "Audio Files Location" tab; see ViewOptions.
  std::function<std::string(const std::string& folder, bool mp3)> voice_status;
  // The voice generator the window offers when the active voice lacks clips.
  VoiceGenerator generator;
  // Told once the window model has started, before the window shows (the front end's hooks:
  // the log, the sound device's loss).
  std::function<void(Form1&)> on_started;
  // Told when the window model is about to go.
  std::function<void()> on_finished;
};

// Returns the process exit code: 0 when the program ended by one of its ways out, 1 when
// start-up could not finish.
int RunWindow(int argc, char** argv, const WindowOptions& options);

}  // namespace horatone
