// The UDP stream to SvxLink against a loopback socket: SvxLink's packet format (16-bit
// little-endian stereo, the clock on its channel, fixed size), the last sound padded to a whole
// packet, nothing sent through silence, and the target text checked.
#include "platform/audio/svx_udp_sink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace horatone {
namespace {

// A loopback UDP socket on a free port.
struct Listener {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  Listener() {
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  }
  ~Listener() { close(fd); }
  std::vector<std::vector<unsigned char>> Packets() const {
    std::vector<std::vector<unsigned char>> packets;
    unsigned char bytes[65536];
    for (ssize_t got; (got = recv(fd, bytes, sizeof bytes, 0)) >= 0;)
      packets.emplace_back(bytes, bytes + got);
    return packets;
  }
};

int16_t SampleAt(const std::vector<unsigned char>& packet, int frame, int channel) {
  const int at = 4 * frame + 2 * channel;
  return static_cast<int16_t>(packet[at] | (packet[at + 1] << 8));
}

TEST(SvxUdpSink, SendsWholePacketsWithTheSoundOnItsChannelAndNothingThroughSilence) {
  Listener listener;
  std::string why;
  auto sink = SvxUdpSink::Open({"127.0.0.1", ntohs(listener.address.sin_port), 1}, 8000, &why);
  ASSERT_TRUE(sink) << why;
  const int packet = SvxUdpSink::PacketFrames(8000);
  ASSERT_EQ(packet, 256);

  // A packet and a half of sound: left 0.5, right -0.25 gives (0.5 - 0.25) / 2 on channel 1.
  std::vector<float> frames;
  for (int i = 0; i < packet * 3 / 2; ++i) {
    frames.push_back(0.5f);
    frames.push_back(i == 0 ? 2.0f : -0.25f);  // the first frame clips
  }
  ASSERT_TRUE(sink->Write(frames.data(), packet * 3 / 2, &why));
  EXPECT_GT(sink->QueuedFrames(), 0);
  // Silence begins: the half packet goes out padded, then the silence is only counted.
  EXPECT_GE(sink->FramesDueNow(), 0);
  sink->Skip(packet * 4);
  EXPECT_GE(sink->FramesDueNow(), 0);

  const auto packets = listener.Packets();
  ASSERT_EQ(packets.size(), 2u);
  for (const auto& p : packets) ASSERT_EQ(p.size(), 4u * packet);
  EXPECT_EQ(SampleAt(packets[0], 0, 1), 32767);
  EXPECT_EQ(SampleAt(packets[0], 1, 1), 4096);
  EXPECT_EQ(SampleAt(packets[1], packet / 2 - 1, 1), 4096);
  EXPECT_EQ(SampleAt(packets[1], packet / 2, 1), 0);  // the padding
  for (int f = 0; f < packet; ++f) EXPECT_EQ(SampleAt(packets[0], f, 0), 0);
  EXPECT_EQ(sink->packets_sent(), 2);
}

TEST(SvxUdpSink, TargetsAreCheckedWithAReason) {
  SvxUdpTarget target;
  std::string why;
  ASSERT_TRUE(ParseSvxUdpTarget("127.0.0.1:5300", &target, &why));
  EXPECT_TRUE(target.port == 5300 && target.channel == 0);
  ASSERT_TRUE(ParseSvxUdpTarget("10.0.0.2:5300:1", &target, &why));
  EXPECT_EQ(target.channel, 1);
  for (const char* bad : {"", "5300", ":5300", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:70000",
                          "127.0.0.1:53x", "127.0.0.1:5300:2", "localhost:5300"}) {
    why.clear();
    EXPECT_FALSE(ParseSvxUdpTarget(bad, &target, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

}  // namespace
}  // namespace horatone
