// The sound library's outputs; see sound_output.h.
#include "sound/sound_output.h"

#include <utility>

namespace horatone {
namespace {

// PulseAudio when a server answers, else ALSA when its default device opens, else waiting for
// a PulseAudio server.
Result<OpenedOutput> OpenFirstThatAnswers(const DeviceOptions& options) {
  Result<std::unique_ptr<OutputSink>> pulse = OpenPulseSink(options);
  if (pulse) {
    return OpenedOutput{"pulse", std::move(*pulse), Status::Ok(),
                        "audio output: PulseAudio (its server answered)"};
  }
  Result<std::unique_ptr<OutputSink>> alsa = OpenAlsaSink(options);
  if (alsa) {
    return OpenedOutput{"alsa", std::move(*alsa), Status::Ok(),
                        "audio output: ALSA default device (" + pulse.message() + ")"};
  }
  const std::string missing = pulse.message() + "; " + alsa.message();
  return OpenedOutput{
      "pulse", nullptr, Status::Unavailable(missing),
      "audio output: no sound server or device (" + missing + "); waiting for a PulseAudio server"};
}

Result<OpenedOutput> OpenPulse(const DeviceOptions& options) {
  Result<std::unique_ptr<OutputSink>> sink = OpenPulseSink(options);
  if (!sink) {
    return OpenedOutput{"pulse", nullptr, sink.status(),
                        "audio output: waiting for a PulseAudio server"};
  }
  return OpenedOutput{"pulse", std::move(*sink), Status::Ok(), "audio output: PulseAudio"};
}

Result<OpenedOutput> OpenAlsa(const DeviceOptions& options) {
  Result<std::unique_ptr<OutputSink>> sink = OpenAlsaSink(options);
  const std::string note =
      "audio output: ALSA device " + (options.device.empty() ? "default" : options.device);
  if (!sink) return OpenedOutput{"alsa", nullptr, sink.status(), note};
  return OpenedOutput{"alsa", std::move(*sink), Status::Ok(), note};
}

Result<OpenedOutput> OpenNull(const DeviceOptions& options) {
  return OpenedOutput{"null", OpenNullSink(options.sample_rate), Status::Ok(),
                      "audio output: none (null, as asked): nothing is heard"};
}

// The engine's pump is the output; there is nothing to open.
Result<OpenedOutput> OpenVirtual(const DeviceOptions&) {
  return OpenedOutput{"virtual", nullptr, Status::Ok(), ""};
}

}  // namespace

std::vector<SoundOutput> SoundOutputs(std::vector<SoundOutput> more) {
  std::vector<SoundOutput> table = {
      {"", {}, true, false, &OpenFirstThatAnswers},
      {"pulse", {"pulse"}, true, false, &OpenPulse},
      {"alsa", {"alsa", "alsa:DEVICE"}, true, false, &OpenAlsa},
  };
  for (SoundOutput& row : more) table.push_back(std::move(row));
  table.push_back({"null", {"null"}, false, false, &OpenNull});
  table.push_back({"virtual", {"virtual"}, false, true, &OpenVirtual});
  return table;
}

const SoundOutput* FindSoundOutput(const std::vector<SoundOutput>& table, std::string_view name) {
  for (const SoundOutput& row : table) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

std::string ListSoundOutputs(const std::vector<SoundOutput>& table) {
  std::vector<std::string> spellings;
  for (const SoundOutput& row : table) {
    spellings.insert(spellings.end(), row.spellings.begin(), row.spellings.end());
  }
  std::string list;
  for (std::size_t i = 0; i < spellings.size(); ++i) {
    if (i > 0) list += i + 1 == spellings.size() ? " or " : ", ";
    list += spellings[i];
  }
  return list;
}

OutputChoice SplitOutputChoice(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return {text, ""};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

}  // namespace horatone
