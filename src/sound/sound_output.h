// The outputs the engine plays through, one row each: the name it is chosen by, how it is
// listed, what kind of output it is and how it opens. The sound library's own rows live here;
// a node that carries its own audio (SvxLink's UDP stream) hands the engine its row
// through AudioEngineOptions, so a new output is one more row and nothing else.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "shell/status.h"
#include "sound/output_sink.h"

namespace horatone {

// What opening an output gave.
struct OpenedOutput {
  // The output in use: the automatic choice names the one it took.
  std::string name;
  // Null while the device is missing, which `missing` explains; a device is looked for again.
  std::unique_ptr<OutputSink> sink;
  Status missing;
  // The log line saying which output this is, and why.
  std::string note;
};

struct SoundOutput {
  // What is written before any ":DETAIL"; empty for the automatic choice.
  std::string name;
  // As the list of outputs shows it, e.g. "alsa" and "alsa:DEVICE".
  std::vector<std::string> spellings;
  // A sound device: it can go away and is reconnected, is fed from a real-time thread where
  // the system grants one, and is woken ahead of a sound that is due.
  bool device = false;
  // Driven by the caller's pump in virtual time, with no audio thread.
  bool virtual_time = false;
  // `options.device` holds what followed the colon. Fails only for a detail that names no
  // usable output; a device that is not there now is no failure (see OpenedOutput::missing).
  std::function<Result<OpenedOutput>(const DeviceOptions& options)> open;
};

// The rows in the order they are listed: the devices, then `more`, then the outputs that only
// keep time or are pumped.
std::vector<SoundOutput> SoundOutputs(std::vector<SoundOutput> more = {});
// The row named `name`, or nullptr.
const SoundOutput* FindSoundOutput(const std::vector<SoundOutput>& table, std::string_view name);
// Every spelling in table order, "a, b or c".
std::string ListSoundOutputs(const std::vector<SoundOutput>& table);

// "alsa:hw:1" as the name "alsa" and the detail "hw:1"; without a colon all of it is the name.
struct OutputChoice {
  std::string name;
  std::string detail;
};
OutputChoice SplitOutputChoice(const std::string& text);

}  // namespace horatone
