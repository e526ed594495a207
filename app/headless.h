// The headless clock: the same window model, timers and handlers on a POSIX event loop,
// without widgets; message boxes and events worth knowing go to the error stream.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "shell/services.h"

namespace horatone {

struct HeadlessOptions {
  std::filesystem::path root;
  std::string node = "sim";  // "sim", "stdio" or "listen:PORT"
  std::string audio;         // back end name; empty for the first that works
  std::filesystem::path capture;
  std::optional<LocalTime> start_at;
};

int RunHeadless(const HeadlessOptions& options);

}  // namespace horatone
