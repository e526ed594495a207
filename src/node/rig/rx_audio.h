// The receiver's audio, captured from PulseAudio (or PipeWire) or ALSA as 8 kHz mono 16-bit
// for the DTMF detector. A thread of its own reads 20 ms blocks and hands each to `on_block`;
// a device that fails is reopened every two seconds until it works again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "shell/status.h"

namespace horatone {

class RxAudio {
 public:
  struct Hooks {
    // The capture thread: the next block of samples.
    std::function<void(const int16_t*, int)> on_block;
    // The capture thread: the device failed, or works again; one line for the log.
    std::function<void(const std::string&)> on_report;
  };

  // `name` is "pulse", "pulse:SOURCE", "alsa" or "alsa:DEVICE" ("alsa:plughw:1,0" for a USB
  // interface). A failure for a name that is none of these; a device that does not open yet
  // is reported through on_report and tried again.
  static Result<std::unique_ptr<RxAudio>> Open(const std::string& name, Hooks hooks);
  ~RxAudio();
  RxAudio(const RxAudio&) = delete;
  RxAudio& operator=(const RxAudio&) = delete;

  static constexpr int kSampleRate = 8000;
  static constexpr int kBlock = kSampleRate / 50;
  class Source;

 private:
  RxAudio(std::string system, std::string device, Hooks hooks);
  void Run();

  const std::string system_;  // "pulse" or "alsa"
  const std::string device_;  // empty: the system's default
  Hooks hooks_;
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

}  // namespace horatone
