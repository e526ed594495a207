// The real headless binary end to end: a voice of short tones in a temp system directory,
// the node bridge on stdin/stdout, the null output and a capture file. A station's DTMF code
// keys the transmitter, the clips go on air, the transmitter is released, and the node's
// closing ends the program cleanly.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <map>

#include "announce/clip_names.h"
#include "platform/audio/audio_files.h"
#include "test_support/posix_io.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

// The headless clock with its node on pipes.
class Clock {
 public:
  explicit Clock(const std::filesystem::path& root) {
    int to_child[2], from_child[2];
    EXPECT_EQ(pipe(to_child), 0);
    EXPECT_EQ(pipe(from_child), 0);
    pid_ = testing::Spawn(
        {HORATONE_BINARY, "--headless", "--root", root.string(), "--node", "stdio", "--audio",
         "null", "--capture", (root / "on-air.wav").string(), "--start-at", "2026-12-06 14:05:10"},
        to_child[0], from_child[1], (root / "clock.log").string());
    EXPECT_GT(pid_, 0);
    close(to_child[0]);
    close(from_child[1]);
    in_ = to_child[1];
    out_ = from_child[0];
    lines_ = testing::Lines(out_);
  }
  ~Clock() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    close(in_);
    close(out_);
  }

  void Send(const std::string& line) { ASSERT_TRUE(testing::WriteAll(in_, line + "\n")); }
  std::string NextLine() { return lines_.Next(std::chrono::seconds(20)).value_or(""); }
  // Waits for `line`, collecting what came before it.
  bool WaitFor(const std::string& line, std::vector<std::string>* before = nullptr) {
    for (std::string got = NextLine(); !got.empty(); got = NextLine()) {
      if (got == line) return true;
      if (before) before->push_back(got);
    }
    return false;
  }
  // The exit status once the program has ended by itself; -1 if it does not within ten seconds.
  int Exit() {
    int status = 0;
    for (int i = 0; i < 200; ++i, usleep(50000)) {
      if (waitpid(pid_, &status, WNOHANG) != pid_) continue;
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  testing::Lines lines_{-1};
};

TEST(HeadlessClock, ADtmfCodeFromTheNodeIsAnsweredOnAirAndTheNodeClosingEndsIt) {
  TempDir root;
  // Every clip a tone whose length grows with its place in the list ("Blank" silent).
  const auto folder = root.path() / "C" / "Program Files" / "Horatone";
  std::filesystem::create_directories(folder);
  std::map<std::string, double> lengths;
  int index = 0;
  for (std::string_view stem : clips::kAll) {
    const double seconds = lengths[std::string(stem)] = 0.2 + 0.002 * index++;
    const float level = stem == clips::kBlank ? 0.0f : 0.25f;
    ASSERT_TRUE(
        testing::WriteClip(folder / (std::string(stem) + ".wav"),
                           testing::Tone(8000, 1, seconds, 1200 / std::numbers::pi, level)));
  }
  Clock clock(root.path());

  ASSERT_TRUE(clock.WaitFor("TRANSMIT 0"));  // start-up releases the transmitter
  clock.Send("DTMF 123");
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 1"));
  std::vector<std::string> while_keyed;
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 0", &while_keyed));
  for (const std::string& line : while_keyed) EXPECT_EQ(line, "TRANSMIT 1");
  clock.Send("BUSY 1 0");
  EXPECT_EQ(clock.NextLine().rfind("ERROR ", 0), 0u);
  clock.Send("CHAT who /ver/");
  EXPECT_TRUE(clock.WaitFor("CHAT Horatone  v2.0.1"));
  clock.Send("CLOSING");
  ASSERT_TRUE(clock.WaitFor("AUX 0"));
  EXPECT_EQ(clock.Exit(), 0);

  // The first announcement after start-up by DTMF begins at the time-is step: the time is, 14,
  // hour, 05, minutes, PM — all of each clip on air, and nothing else.
  double expected = 0;
  for (const char* stem : {"TheTimeIs", "14", "Hour", "05", "Minutes", "PM"}) {
    expected += lengths[stem];
  }
  const testing::Samples air = testing::ReadClip(root.path() / "on-air.wav");
  ASSERT_GT(air.channels, 0);
  std::int64_t loud = 0;
  for (std::int64_t f = 0; f < air.frames(); ++f)
    loud += std::fabs(air.data[f * air.channels]) > 0.001f;
  EXPECT_NEAR(static_cast<double>(loud) / air.rate, expected, 0.05);
  EXPECT_GT(air.frames(), loud);

  const std::string log = testing::ReadBytes(root.path() / "clock.log");
  EXPECT_NE(log.find("announcement: DTMF code"), std::string::npos) << log;
  EXPECT_NE(log.find("transmitter PTT OFF"), std::string::npos);
}

}  // namespace
}  // namespace horatone
