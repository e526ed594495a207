// The headless clock: the same window model, timers and handlers on a POSIX event loop,
// without widgets; message boxes and events worth knowing go to the error stream.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <string>

#include "sound/audio_engine.h"
#include "runtime/path_mapper.h"
#include "node/svxlink/svxlink_node.h"
#include "shell/services.h"

namespace horatone {

class Form1;

struct HeadlessOptions {
  std::filesystem::path root;
  std::string node = "sim";  // "sim", "stdio", "listen:PORT", "unix:PATH", "rig" or "svxlink"
  std::string audio;         // back end name; empty for the first that works
  std::filesystem::path capture;
  std::optional<LocalTime> start_at;
  // The radio's options given on the command line, by their [RIG] key; they win over the file.
  std::map<std::string, std::string> rig_options;
  // A settings file that exists but cannot be read: start with the defaults instead of ending.
  bool ignore_settings_errors = false;
  // With --node svxlink: the PTYs and events FIFO, and the audio stream "HOST:PORT[:CHANNEL]"
  // to the clock's receiver at its rate.
  SvxLinkSettings svxlink;
  std::string svx_audio;
  int svx_rate = 16000;
  // "ADDR:PORT" of the web page; empty for none.
  std::string web;
  // The operator's own certificate and key for a page open to the network; empty for the
  // page's own.
  std::string web_cert, web_key;
};

int RunHeadless(const HeadlessOptions& options);

// The audio engine both front ends use, with its capture. A lost sound device is logged and
// ends the announcement under way on `*form` (when set), so that the transmitter is released.
std::unique_ptr<AudioEngine> OpenAudioEngine(const HeadlessOptions& options,
                                             const PathMapper& mapper, Form1* const* form,
                                             std::function<void(const std::string&)> log);

}  // namespace horatone
