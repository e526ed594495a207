// The real headless binary end to end, with a voice of tones in a temp system directory, the
// node bridge on stdin/stdout, the null output and a capture file: a station's DTMF code keys
// the transmitter, the clips go on air, the transmitter is released and the node's closing
// ends the program. Then `horatone say` writes the same minute: the same samples, from the
// first sound to the last.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <map>

#include "announce/clip_names.h"
#include "sound/audio_files.h"
#include "test_support/posix_io.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

// From the first sample that is not silence to the last, whole frames.
std::vector<float> Sound(const testing::Samples& s) {
  std::size_t first = 0, last = s.data.size();
  while (first < last && s.data[first] == 0.0f) ++first;
  while (last > first && s.data[last - 1] == 0.0f) --last;
  first -= first % s.channels;
  last += (s.channels - last % s.channels) % s.channels;
  return {s.data.begin() + static_cast<std::ptrdiff_t>(first),
          s.data.begin() + static_cast<std::ptrdiff_t>(last)};
}

TEST(HeadlessAndSay, ADtmfCodeIsAnsweredOnAirAndSayWritesTheSameSamples) {
  TempDir root;
  const auto folder = root.path() / "C" / "Program Files" / "Horatone";
  std::filesystem::create_directories(folder);
  // Every clip a tone of its own pitch and a length that grows with its place ("Blank" silent).
  std::map<std::string, double> lengths;
  int index = 0;
  for (std::string_view stem : clips::kAll) {
    const double seconds = lengths[std::string(stem)] = 0.15 + 0.001 * index;
    ASSERT_TRUE(testing::WriteClip(
        folder / (std::string(stem) + ".wav"),
        testing::Tone(16000, 1, seconds, 300 + 7 * index, stem == clips::kBlank ? 0.0f : 0.3f)));
    ++index;
  }
  // No lead-in, so that the button (which say follows) and a DTMF code speak the same.
  std::ofstream(root.path() / "Horatone.ini") << "[SETTINGS]\r\nCHECK2=0\r\n";

  // The headless clock speaks 14:05 on a code from its node and captures the air.
  int to_clock[2], from_clock[2];
  ASSERT_EQ(pipe(to_clock), 0);
  ASSERT_EQ(pipe(from_clock), 0);
  const pid_t clock =
      testing::Spawn({HORATONE_BINARY, "--headless", "--root", root.path().string(), "--node",
                      "stdio", "--audio", "null", "--capture", (root.path() / "air.wav").string(),
                      "--start-at", "2026-12-06 14:05:10"},
                     to_clock[0], from_clock[1], (root.path() / "clock.log").string());
  ASSERT_GT(clock, 0);
  close(to_clock[0]);
  close(from_clock[1]);
  testing::Lines lines(from_clock[0]);
  const auto send = [&](const std::string& line) {
    EXPECT_TRUE(testing::WriteAll(to_clock[1], line + "\n"));
  };
  // Waits for `line`, collecting what came before it.
  const auto wait_for = [&](const std::string& line, std::vector<std::string>* before = nullptr) {
    while (auto got = lines.Next(std::chrono::seconds(20))) {
      if (*got == line) return true;
      if (before) before->push_back(*got);
    }
    return false;
  };
  EXPECT_EQ(lines.Next(), "TRANSMIT 0");  // start-up releases the transmitter
  send("DTMF 123");
  EXPECT_TRUE(wait_for("TRANSMIT 1"));
  std::vector<std::string> while_keyed;
  EXPECT_TRUE(wait_for("TRANSMIT 0", &while_keyed));
  for (const std::string& line : while_keyed) EXPECT_EQ(line, "TRANSMIT 1");
  send("BUSY 1 0");
  EXPECT_EQ(lines.Next(std::chrono::seconds(20)).value_or("").rfind("ERROR ", 0), 0u);
  send("CHAT who /ver/");
  EXPECT_TRUE(wait_for("CHAT Horatone  v2.0.1"));
  send("CLOSING");
  EXPECT_TRUE(wait_for("AUX 0"));
  int status = -1;
  waitpid(clock, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(to_clock[1]);
  close(from_clock[0]);
  const std::string log = testing::ReadBytes(root.path() / "clock.log");
  EXPECT_NE(log.find("announcement: DTMF code"), std::string::npos) << log;
  EXPECT_NE(log.find("transmitter PTT OFF"), std::string::npos) << log;

  // The first announcement after start-up by DTMF begins at the time-is step: the time is, 14,
  // hour, 05, minutes, PM — all of each clip on air, and nothing else.
  const testing::Samples air = testing::ReadClip(root.path() / "air.wav");
  ASSERT_GT(air.channels, 0);
  double expected = 0;
  for (const char* stem : {"TheTimeIs", "14", "Hour", "05", "Minutes", "PM"}) {
    expected += lengths[stem];
  }
  std::int64_t loud = 0;
  for (std::int64_t f = 0; f < air.frames(); ++f)
    loud += std::fabs(air.data[f * air.channels]) > 0.001f;
  EXPECT_NEAR(static_cast<double>(loud) / air.rate, expected, 0.05);

  const auto say = [&](std::vector<std::string> more, const char* file, int out = -1) {
    std::vector<std::string> args = {HORATONE_BINARY, "say", "--root", root.path().string()};
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(file);
    const pid_t pid = testing::Spawn(args, -1, out, (root.path() / "say.log").string());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  ASSERT_EQ(say({"--at", "14:05"}, (root.path() / "say.wav").c_str()), 0)
      << testing::ReadBytes(root.path() / "say.log");
  const testing::Samples said = testing::ReadClip(root.path() / "say.wav");
  ASSERT_EQ(said.rate, air.rate);
  ASSERT_EQ(said.channels, 2);
  const std::vector<float> on_air = Sound(air);
  ASSERT_FALSE(on_air.empty());
  EXPECT_EQ(said.data.size(), on_air.size());
  std::size_t differ = 0;
  while (differ < on_air.size() && differ < said.data.size() && said.data[differ] == on_air[differ])
    ++differ;
  EXPECT_EQ(differ, on_air.size())
      << "the first difference at frame " << differ / 2 << " of " << on_air.size() / 2;

  // Mono at another rate, through standard output.
  const int out = open((root.path() / "mono.wav").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(say({"--at", "14:05", "--rate", "16000", "--channels", "1"}, "-", out), 0);
  close(out);
  const testing::Samples mono = testing::ReadClip(root.path() / "mono.wav");
  EXPECT_EQ(mono.rate, 16000);
  EXPECT_EQ(mono.channels, 1);
  EXPECT_NEAR(static_cast<double>(mono.frames()) / 16000,
              static_cast<double>(said.frames()) / said.rate, 0.002);

  // A slot minute is spoken once, as any other.
  ASSERT_EQ(say({"--at", "14:15"}, (root.path() / "slot.wav").c_str()), 0);
  const testing::Samples slot = testing::ReadClip(root.path() / "slot.wav");
  EXPECT_NEAR(static_cast<double>(slot.frames()) / slot.rate,
              static_cast<double>(said.frames()) / said.rate + 0.010, 0.001);

  EXPECT_EQ(say({"--at", "25:00"}, "x.wav"), 2);
  EXPECT_EQ(say({"--channels", "3"}, "x.wav"), 2);
}

}  // namespace
}  // namespace horatone
