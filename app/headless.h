// The headless clock: the same window model, timers and handlers on a POSIX event loop,
// without widgets; message boxes and events worth knowing go to the error stream.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "shell/services.h"

namespace horatone {

struct HeadlessOptions {
  std::filesystem::path root;
  std::string node = "sim";  // "sim", "stdio", "listen:PORT" or "rig"
  std::string audio;         // back end name; empty for the first that works
  std::filesystem::path capture;
  std::optional<LocalTime> start_at;
  // The radio's options given on the command line, by their [RIG] key; they win over the file.
  std::map<std::string, std::string> rig_options;
};

int RunHeadless(const HeadlessOptions& options);

}  // namespace horatone
