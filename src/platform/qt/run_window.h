// The desktop front end in one call: builds the Qt services, the settings file, the node and
// Form1, runs the load handler, shows the window and serves events until the program ends.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "audio/media_service.h"
#include "echolink/echolink_object.h"
#include "shell/services.h"

namespace horatone {

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
};

// Returns the process exit code: 0 when the program ended by one of its ways out, 1 when
// start-up could not finish.
int RunWindow(int argc, char** argv, const WindowOptions& options);

}  // namespace horatone
