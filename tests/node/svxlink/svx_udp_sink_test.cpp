// The address of SvxLink's UDP audio input and the engine's row for it.
#include "node/svxlink/svx_udp_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace horatone {
namespace {

TEST(SvxUdpTarget, HostPortAndAnOptionalChannelAreRead) {
  Result<SvxUdpTarget> target = ParseSvxUdpTarget("127.0.0.1:5300");
  ASSERT_TRUE(target) << target.message();
  EXPECT_EQ(target->host, "127.0.0.1");
  EXPECT_EQ(target->port, 5300);
  EXPECT_EQ(target->channel, 0);
  target = ParseSvxUdpTarget("10.1.2.3:65535:1");
  ASSERT_TRUE(target) << target.message();
  EXPECT_EQ(target->port, 65535);
  EXPECT_EQ(target->channel, 1);
}

TEST(SvxUdpTarget, EachBadPartIsNamed) {
  const std::pair<std::string, std::string> cases[] = {
      {"5300", "\"5300\" is not HOST:PORT"},
      {":5300", "\":5300\" is not HOST:PORT"},
      {"127.0.0.1:", "\"127.0.0.1:\": the port must be a number from 1 to 65535"},
      {"127.0.0.1:0", "\"127.0.0.1:0\": the port must be a number from 1 to 65535"},
      {"127.0.0.1:65536", "\"127.0.0.1:65536\": the port must be a number from 1 to 65535"},
      {"127.0.0.1:-1", "\"127.0.0.1:-1\": the port must be a number from 1 to 65535"},
      {"127.0.0.1:99999999999",
       "\"127.0.0.1:99999999999\": the port must be a number from 1 to 65535"},
      {"127.0.0.1:53 ", "\"127.0.0.1:53 \": the port must be a number from 1 to 65535"},
      {"127.0.0.1:5300:2", "\"127.0.0.1:5300:2\": the channel must be 0 or 1"},
      {"127.0.0.1:5300:", "\"127.0.0.1:5300:\": the channel must be 0 or 1"},
      {"localhost:5300", "\"localhost\" is not a numeric IPv4 address"},
      {"::1:5300", "\"::1:5300\" is not HOST:PORT"},
  };
  for (const auto& [text, reason] : cases) {
    const Result<SvxUdpTarget> target = ParseSvxUdpTarget(text);
    EXPECT_FALSE(target) << text;
    EXPECT_EQ(target.status().kind, StatusKind::kBadInput) << text;
    EXPECT_EQ(target.message(), reason) << text;
  }
}

TEST(SvxUdpOutputRow, ABadAddressStopsTheStartAndAGoodOneOpensAStreamThatKeepsTime) {
  const SoundOutput row = SvxUdpOutput();
  EXPECT_FALSE(row.device);  // never reconnected, never woken ahead, fed at normal priority
  EXPECT_FALSE(row.virtual_time);
  DeviceOptions options;
  options.sample_rate = 16000;
  options.device = "localhost:5300";
  EXPECT_EQ(row.open(options).message(),
            "SvxLink audio: \"localhost\" is not a numeric IPv4 address");

  options.device = "127.0.0.1:5300:1";
  Result<OpenedOutput> opened = row.open(options);
  ASSERT_TRUE(opened) << opened.message();
  EXPECT_EQ(opened->name, "svxlink");
  EXPECT_EQ(opened->note, "audio output: SvxLink's UDP audio at 127.0.0.1:5300:1");
  ASSERT_TRUE(opened->missing.ok()) << opened->missing.message;
  ASSERT_NE(opened->sink, nullptr);
  EXPECT_EQ(opened->sink->name(), "svxlink:127.0.0.1:5300:1");
  EXPECT_EQ(opened->sink->period_frames(), 512);
  EXPECT_GE(opened->sink->FramesDueNow(), 0);  // it paces itself
}

}  // namespace
}  // namespace horatone
