// Where the mixed stream goes: a PulseAudio (or PipeWire) stream, an ALSA device, or nothing
// but the monotonic clock. A sink is opened on the loop thread at start-up and from then on
// used only by the engine's audio thread, whose pace it sets by blocking in Write().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace horatone {

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual std::string name() const = 0;
  // Frames the device takes at a time; the engine holds back at least this much output.
  virtual int period_frames() const = 0;
  // Frames the device may hold after Write() returns, before they are heard.
  virtual int buffered_frames() const = 0;
  // Hands over interleaved stereo frames, waiting while the device is full. False when the
  // device has failed or gone, with the reason in `why`.
  virtual bool Write(const float* frames, int count, std::string* why) = 0;
  // A sink that only keeps time lets the engine sleep through silence and then account for
  // it at once: the frames due by now that have not been written, and taking frames as
  // written without waiting. A device has no such shortcut and answers -1.
  virtual int64_t FramesDueNow() { return -1; }
  virtual void Skip(int64_t /*frames*/) {}
};

// Each returns nullptr, with the reason in `why`, when the output cannot be opened.
std::unique_ptr<OutputSink> OpenPulseSink(int sample_rate, std::string* why);
std::unique_ptr<OutputSink> OpenAlsaSink(int sample_rate, std::string* why);
// Never fails: paces the stream by the monotonic clock.
std::unique_ptr<OutputSink> OpenNullSink(int sample_rate);

}  // namespace horatone
