// The real headless binary end to end: a voice of short tones in a temp system directory,
// the node bridge on stdin/stdout, the null output and a capture file. A station's DTMF code
// keys the transmitter, the clips go on air, the transmitter is released, and the node's
// closing ends the program cleanly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

#include "announce/clip_names.h"
#include "test_support/temp_dir.h"

extern char** environ;

namespace horatone {
namespace {

constexpr int kRate = 8000;

// Every clip of a voice: a tone whose length grows with its place in the list ("Blank" silent).
double WriteVoice(const std::filesystem::path& folder, std::map<std::string, double>* lengths) {
  std::filesystem::create_directories(folder);
  double total = 0;
  int index = 0;
  for (std::string_view stem : clips::kAll) {
    const double seconds = 0.2 + 0.002 * index++;
    (*lengths)[std::string(stem)] = seconds;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const std::string path = (folder / (std::string(stem) + ".wav")).string();
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<short> samples(static_cast<size_t>(seconds * kRate));
    for (size_t i = 0; i < samples.size(); ++i) {
      samples[i] = stem == clips::kBlank ? 0 : static_cast<short>(8000 * std::sin(i * 0.3));
    }
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    total += seconds;
  }
  return total;
}

class Clock {
 public:
  Clock(const std::filesystem::path& root, const std::filesystem::path& capture) {
    int to_child[2], from_child[2];
    EXPECT_EQ(pipe(to_child), 0);
    EXPECT_EQ(pipe(from_child), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    const std::string log = (root / "clock.log").string();
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {HORATONE_BINARY, "--headless", "--root", root.string(),
                                     "--node", "stdio", "--audio", "null", "--capture",
                                     capture.string(), "--start-at", "2026-12-06 14:05:10"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, HORATONE_BINARY, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    in_ = to_child[1];
    out_ = from_child[0];
  }
  ~Clock() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(in_);
    close(out_);
  }

  void Send(const std::string& line) {
    const std::string bytes = line + "\n";
    ASSERT_EQ(write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // The next line the clock sends, or "" when none comes within the bound.
  std::string NextLine() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (true) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd fd{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) return "";
      char chunk[256];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Waits for `line`, collecting what came before it.
  bool WaitFor(const std::string& line, std::vector<std::string>* before = nullptr) {
    for (std::string got = NextLine(); !got.empty(); got = NextLine()) {
      if (got == line) return true;
      if (before) before->push_back(got);
    }
    return false;
  }

  int Exit() {
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(50000);
    if (waitpid(pid_, &status, WNOHANG) < 0 || WIFEXITED(status)) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
};

// Seconds of sound (not silence) in a captured file.
double SoundSeconds(const std::filesystem::path& capture, double* total_seconds) {
  SF_INFO info{};
  SNDFILE* file = sf_open(capture.c_str(), SFM_READ, &info);
  if (!file) return -1;
  std::vector<float> frame(static_cast<size_t>(info.channels));
  sf_count_t loud = 0;
  while (sf_readf_float(file, frame.data(), 1) == 1) {
    if (std::fabs(frame[0]) > 0.001f) ++loud;
  }
  sf_close(file);
  *total_seconds = static_cast<double>(info.frames) / info.samplerate;
  return static_cast<double>(loud) / info.samplerate;
}

TEST(HeadlessClock, ADtmfCodeFromTheNodeIsAnsweredOnAirAndTheNodeClosingEndsIt) {
  TempDir root;
  std::map<std::string, double> lengths;
  WriteVoice(root.path() / "C" / "Program Files" / "Horatone", &lengths);
  const std::filesystem::path capture = root.path() / "on-air.wav";
  Clock clock(root.path(), capture);

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
  double total = 0;
  const double sound = SoundSeconds(capture, &total);
  EXPECT_NEAR(sound, expected, 0.05);
  EXPECT_GT(total, sound);

  std::ifstream log(root.path() / "clock.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("announcement: DTMF code"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("transmitter PTT OFF"), std::string::npos);
}

}  // namespace
}  // namespace horatone
