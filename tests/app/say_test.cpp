// `horatone say` against the air: the file it writes for a minute holds the same samples as
// the capture of the headless clock speaking that minute, from the first sound to the last.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>

#include "announce/clip_names.h"
#include "platform/audio/audio_files.h"
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

int RunProgram(std::vector<std::string> args, const std::filesystem::path& log, int out = -1) {
  const pid_t pid = testing::Spawn(std::move(args), -1, out, log.string());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Say, TheFileHoldsTheSamplesTheClockSendsOnAir) {
  TempDir root;
  const auto folder = root.path() / "C" / "Program Files" / "Horatone";
  std::filesystem::create_directories(folder);
  int index = 0;
  for (std::string_view stem : clips::kAll) {
    ASSERT_TRUE(testing::WriteClip(folder / (std::string(stem) + ".wav"),
                                   testing::Tone(16000, 1, 0.15 + 0.001 * index, 300 + 7 * index,
                                                 stem == clips::kBlank ? 0.0f : 0.3f)));
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
  close(to_clock[0]);
  close(from_clock[1]);
  testing::Lines lines(from_clock[0]);
  ASSERT_EQ(lines.Next(), "TRANSMIT 0");
  ASSERT_TRUE(testing::WriteAll(to_clock[1], "DTMF 123\n"));
  while (auto line = lines.Next(std::chrono::seconds(20))) {
    if (*line == "TRANSMIT 0") break;
  }
  ASSERT_TRUE(testing::WriteAll(to_clock[1], "CLOSING\n"));
  waitpid(clock, nullptr, 0);
  close(to_clock[1]);
  close(from_clock[0]);

  ASSERT_EQ(RunProgram({HORATONE_BINARY, "say", "--root", root.path().string(), "--at", "14:05",
                        (root.path() / "say.wav").string()},
                       root.path() / "say.log"),
            0)
      << testing::ReadBytes(root.path() / "say.log");
  const testing::Samples air = testing::ReadClip(root.path() / "air.wav");
  const testing::Samples said = testing::ReadClip(root.path() / "say.wav");
  ASSERT_EQ(said.rate, air.rate);
  ASSERT_EQ(said.channels, 2);
  const std::vector<float> on_air = Sound(air);
  ASSERT_FALSE(on_air.empty()) << testing::ReadBytes(root.path() / "clock.log");
  EXPECT_EQ(said.data.size(), on_air.size());
  std::size_t differ = 0;
  while (differ < on_air.size() && differ < said.data.size() && said.data[differ] == on_air[differ])
    ++differ;
  EXPECT_EQ(differ, on_air.size())
      << "the first difference at frame " << differ / 2 << " of " << on_air.size() / 2;

  // Mono at another rate, through standard output.
  const int out = open((root.path() / "mono.wav").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(RunProgram({HORATONE_BINARY, "say", "--root", root.path().string(), "--at", "14:05",
                        "--rate", "16000", "--channels", "1", "-"},
                       root.path() / "say.log", out),
            0);
  close(out);
  const testing::Samples mono = testing::ReadClip(root.path() / "mono.wav");
  EXPECT_EQ(mono.rate, 16000);
  EXPECT_EQ(mono.channels, 1);
  EXPECT_NEAR(static_cast<double>(mono.frames()) / 16000,
              static_cast<double>(said.frames()) / said.rate, 0.002);

  // A slot minute is spoken once, as any other.
  ASSERT_EQ(RunProgram({HORATONE_BINARY, "say", "--root", root.path().string(), "--at", "14:15",
                        (root.path() / "slot.wav").string()},
                       root.path() / "say.log"),
            0);
  const testing::Samples slot = testing::ReadClip(root.path() / "slot.wav");
  EXPECT_NEAR(static_cast<double>(slot.frames()) / slot.rate,
              static_cast<double>(said.frames()) / said.rate + 0.010, 0.001);

  EXPECT_EQ(RunProgram({HORATONE_BINARY, "say", "--at", "25:00", "x.wav"}, root.path() / "bad.log"),
            2);
  EXPECT_EQ(
      RunProgram({HORATONE_BINARY, "say", "--channels", "3", "x.wav"}, root.path() / "bad.log"), 2);
}

}  // namespace
}  // namespace horatone
