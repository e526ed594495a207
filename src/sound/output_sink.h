// Where the mixed stream goes: a PulseAudio (or PipeWire) stream, an ALSA device, or nothing
// but the monotonic clock. A sink is opened at start-up or by the engine's audio thread when it
// reconnects, and from then on used only by that thread, whose pace it sets by blocking in
// Write(). Interrupt() is the one call that may come from another thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "shell/status.h"

namespace horatone {

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual std::string name() const = 0;
  // Frames the device takes at a time; the engine holds back at least this much output.
  virtual int period_frames() const = 0;
  // Frames handed over that have not been played yet, as the device tells it now: a sample
  // written now is heard this many frames later. What the device cannot tell is counted high.
  virtual int64_t QueuedFrames() = 0;
  // Hands over interleaved stereo frames, waiting while the device is full. Fails when the
  // device has failed, gone or stopped answering.
  virtual Status Write(const float* frames, int count) = 0;
  // A device stream rests while there is nothing to say, so that the sound server can suspend
  // its sink: what it still holds is dropped and nothing is requested. Rest(false) readies it
  // for the next Write(). Fails when the device has failed.
  virtual Status Rest(bool /*rest*/) { return Status::Ok(); }
  // Ahead of a sound that is due soon: keeps the stream playing silence, topped up to its full
  // buffer without waiting, so that the sink runs before the sound comes. Fails when the device
  // has failed; a device that cannot do it writes nothing and answers Ok.
  virtual Status KeepPlayingSilence() { return Status::Ok(); }
  // After KeepPlayingSilence(): the next Write() replaces the silence not yet taken by the sink,
  // so the sound is heard after only what the sink has rendered ahead. False when the device
  // cannot (nothing changes).
  virtual bool ReplaceSilence() { return false; }
  // Times the device ran dry while it was playing, since it was opened.
  virtual int64_t Underruns() { return 0; }
  // Any thread: a Write() waiting on the device gives up at once, and so does every later one.
  virtual void Interrupt() {}
  // A sink that only keeps time lets the engine sleep through silence and then account for
  // it at once: the frames due by now that have not been written, and taking frames as
  // written without waiting. A device has no such shortcut and answers -1.
  virtual int64_t FramesDueNow() { return -1; }
  virtual void Skip(int64_t /*frames*/) {}
  // Time keeping starts afresh `ahead_frames` from now (when what a device still holds will
  // have played), as if nothing had been written.
  virtual void Restart(int64_t /*ahead_frames*/) {}
};

struct DeviceOptions {
  int sample_rate = 48000;
  // How much the device may hold ahead of what is heard: enough that a machine busy with other
  // work never lets it run dry. The engine asks for more when it cannot run in real time.
  int buffer_ms = 200;
  // What follows the output's name and a colon: the ALSA device ("default" when empty),
  // SvxLink's HOST:PORT.
  std::string device;
  // Longest wait for a server or device that does not answer, when opening and when writing.
  int answer_timeout_ms = 3000;
  // When set and true, every wait gives up at once (the program is ending).
  const std::atomic<bool>* cancel = nullptr;
  // The engine feeds the device from a real-time thread: a sound library's own thread that
  // carries the sound to the server runs in real time too, or a busy machine starves it.
  bool real_time = false;
};

// Moves the calling thread (or thread `thread` of this process) to SCHED_FIFO within
// RLIMIT_RTPRIO (its children start at normal priority). False where the system does not grant it.
bool RaiseToRealTime();
bool RaiseToRealTime(pid_t thread);

// Each fails, saying why, when the output cannot be opened.
Result<std::unique_ptr<OutputSink>> OpenPulseSink(const DeviceOptions& options);
Result<std::unique_ptr<OutputSink>> OpenAlsaSink(const DeviceOptions& options);
// Never fails: paces the stream by the monotonic clock.
std::unique_ptr<OutputSink> OpenNullSink(int sample_rate);

}  // namespace horatone
