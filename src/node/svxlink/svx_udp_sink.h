// The on-air stream to a SvxLink receiver's UDP audio input: signed 16-bit little-endian, two
// interleaved channels with the clock on one of them, in packets of a fixed size. SvxLink plays
// what it receives as it comes, so the stream is paced by the monotonic clock like the null
// output, and nothing is sent while the clock is silent. Used only by the engine's audio thread
// once opened, except QueuedFrames(), which any thread may read.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "shell/status.h"
#include "sound/output_sink.h"
#include "sound/sound_output.h"
#include "sound/stream_clock.h"

namespace horatone {

struct SvxUdpTarget {
  std::string host;
  int port = 0;
  int channel = 0;  // 0 or 1: where in each frame the clock's audio goes
};

// Reads "HOST:PORT" or "HOST:PORT:CHANNEL".
Result<SvxUdpTarget> ParseSvxUdpTarget(const std::string& text);

// The engine's row for this stream: "svxlink:HOST:PORT[:CHANNEL]".
SoundOutput SvxUdpOutput();

class SvxUdpSink final : public OutputSink {
 public:
  // 512 frames at 16 kHz, the size SvxLink itself sends; scaled with the rate.
  static int PacketFrames(int sample_rate) { return sample_rate * 32 / 1000; }

  // Fails when the host is not a numeric address or no socket can be made. A SvxLink that is
  // not (yet) listening is no failure: UDP has no connection.
  static Result<std::unique_ptr<SvxUdpSink>> Open(const SvxUdpTarget& target, int sample_rate);
  ~SvxUdpSink() override;

  std::string name() const override { return name_; }
  // SvxLink takes a whole packet at a time, so the engine holds back at least that much.
  int period_frames() const override { return packet_frames_; }
  Status Write(const float* frames, int count) override;
  int64_t FramesDueNow() override;
  void Skip(int64_t frames) override;

  // Frames handed over but not yet played by the clock of the stream: those still collecting
  // for the next packet and those sent ahead of their time.
  int64_t QueuedFrames() override;
  // Packets sent so far (for tests and measurements).
  int64_t packets_sent() const { return packets_sent_.load(std::memory_order_relaxed); }

 private:
  SvxUdpSink(int fd, int sample_rate, int channel, std::string name);
  // Pads the packet being collected with silence and sends it at its first frame's time.
  void Flush();

  const int fd_;
  const int sample_rate_;
  const int channel_;
  const int packet_frames_;
  const std::string name_;
  std::string packet_;  // bytes of the packet being collected
  StreamClock clock_;   // counts the frames sent or skipped (packet_ not included)
  std::atomic<int64_t> queued_end_ns_{0};  // when everything handed over has played
  std::atomic<int64_t> packets_sent_{0};
};

}  // namespace horatone
