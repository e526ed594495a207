// The UDP stream to SvxLink; see svx_udp_sink.h. Send errors are not failures: while SvxLink
// is stopped or restarting its port refuses the packets, and the stream goes on by the clock
// so that it is in step again the moment SvxLink listens.
#include "node/svxlink/svx_udp_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "shell/parse_number.h"

namespace horatone {

Result<SvxUdpTarget> ParseSvxUdpTarget(const std::string& text) {
  const std::size_t first = text.find(':');
  if (first == std::string::npos || first == 0) {
    return Status::BadInput("\"" + text + "\" is not HOST:PORT");
  }
  SvxUdpTarget parsed;
  parsed.host = text.substr(0, first);
  const std::string rest = text.substr(first + 1);
  const std::size_t second = rest.find(':');
  const Result<int> port = ParseNumber(rest.substr(0, second), 1, 65535);
  if (!port) {
    return Status::BadInput("\"" + text + "\": the port must be a number from 1 to 65535");
  }
  parsed.port = *port;
  if (second != std::string::npos) {
    const Result<int> channel = ParseNumber(rest.substr(second + 1), 0, 1);
    if (!channel) return Status::BadInput("\"" + text + "\": the channel must be 0 or 1");
    parsed.channel = *channel;
  }
  in_addr address{};
  if (inet_pton(AF_INET, parsed.host.c_str(), &address) != 1) {
    return Status::BadInput("\"" + parsed.host + "\" is not a numeric IPv4 address");
  }
  return parsed;
}

SoundOutput SvxUdpOutput() {
  SoundOutput row;
  row.name = "svxlink";
  row.spellings = {"svxlink:HOST:PORT"};
  // A bad address stops the start; a socket that cannot be made leaves the stream missing.
  row.open = [](const DeviceOptions& options) -> Result<OpenedOutput> {
    const Result<SvxUdpTarget> target = ParseSvxUdpTarget(options.device);
    if (!target) return Status::BadInput("SvxLink audio: " + target.message());
    Result<std::unique_ptr<SvxUdpSink>> sink = SvxUdpSink::Open(*target, options.sample_rate);
    OpenedOutput opened;
    opened.name = "svxlink";
    opened.note = "audio output: SvxLink's UDP audio at " + options.device;
    if (sink) {
      opened.sink = std::move(*sink);
    } else {
      opened.missing = sink.status();
    }
    return opened;
  };
  return row;
}

Result<std::unique_ptr<SvxUdpSink>> SvxUdpSink::Open(const SvxUdpTarget& target, int sample_rate) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(target.port));
  if (inet_pton(AF_INET, target.host.c_str(), &address.sin_addr) != 1) {
    return Status::BadInput("SvxLink audio: \"" + target.host + "\" is not a numeric IPv4 address");
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Status failed = Status::Error(std::string("SvxLink audio: cannot make a UDP socket: ") +
                                  std::strerror(errno));
    if (fd >= 0) close(fd);
    return failed;
  }
  const std::string name = "svxlink:" + target.host + ":" + std::to_string(target.port) + ":" +
                           std::to_string(target.channel);
  return std::unique_ptr<SvxUdpSink>(new SvxUdpSink(fd, sample_rate, target.channel, name));
}

SvxUdpSink::SvxUdpSink(int fd, int sample_rate, int channel, std::string name)
    : fd_(fd),
      sample_rate_(sample_rate),
      channel_(channel),
      packet_frames_(PacketFrames(sample_rate)),
      name_(std::move(name)),
      clock_(sample_rate) {
  packet_.reserve(4 * static_cast<std::size_t>(packet_frames_));
}

SvxUdpSink::~SvxUdpSink() { close(fd_); }

void SvxUdpSink::Flush() {
  if (packet_.empty()) return;
  packet_.resize(4 * static_cast<std::size_t>(packet_frames_), '\0');
  // A packet leaves when its first frame is due, so SvxLink never gets ahead of real time by
  // more than one packet.
  StreamClock::SleepUntil(clock_.DeadlineNs(clock_.frames()));
  if (send(fd_, packet_.data(), packet_.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(packet_.size())) {
    packets_sent_.fetch_add(1, std::memory_order_relaxed);
  }
  clock_.Count(packet_frames_);
  packet_.clear();
}

Status SvxUdpSink::Write(const float* frames, int count) {
  clock_.Start();
  if (packet_.empty()) clock_.ForgiveStall();
  for (int i = 0; i < count; ++i) {
    // The same rounding and clipping as the 16-bit capture, so both carry the same samples.
    const float mono = 0.5f * (frames[2 * i] + frames[2 * i + 1]);
    const float scaled = mono * 32768.0f;
    const int16_t sample = scaled >= 32767.0f    ? int16_t{32767}
                           : scaled <= -32768.0f ? int16_t{-32768}
                                                 : static_cast<int16_t>(std::lrintf(scaled));
    unsigned char frame[4] = {0, 0, 0, 0};
    const auto bits = static_cast<uint16_t>(sample);
    frame[2 * channel_] = static_cast<unsigned char>(bits & 0xff);
    frame[2 * channel_ + 1] = static_cast<unsigned char>(bits >> 8);
    packet_.append(reinterpret_cast<const char*>(frame), 4);
    if (packet_.size() == 4 * static_cast<std::size_t>(packet_frames_)) Flush();
  }
  queued_end_ns_.store(
      clock_.DeadlineNs(clock_.frames() + static_cast<int64_t>(packet_.size() / 4)),
      std::memory_order_relaxed);
  return Status::Ok();
}

int64_t SvxUdpSink::FramesDueNow() {
  clock_.Start();
  // Silence begins: the sound collected so far goes out, padded to a whole packet.
  Flush();
  queued_end_ns_.store(clock_.DeadlineNs(clock_.frames()), std::memory_order_relaxed);
  return clock_.DueNow();
}

void SvxUdpSink::Skip(int64_t frames) { clock_.Count(frames); }

int64_t SvxUdpSink::QueuedFrames() {
  const int64_t left_ns = queued_end_ns_.load(std::memory_order_relaxed) - StreamClock::NowNs();
  return left_ns <= 0 ? 0 : left_ns * sample_rate_ / 1'000'000'000;
}

}  // namespace horatone
