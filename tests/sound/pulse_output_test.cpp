// The real headless clock on a real PulseAudio server that the test starts itself: what leaves
// the server (its sink's monitor, recorded) is the capture sample for sample, with every core
// busy, and the sound library's thread that carries it to the server runs in real time as the
// clock's audio thread does; the node hears the release only after the last sample has left; a
// server that dies costs the announcement under way and no more; no server means no key-up; an
// exit never waits on a hung server; and an idle clock lets the server suspend its sink.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>

#include "announce/clip_names.h"
#include "sound/audio_files.h"
#include "test_support/posix_io.h"
#include "test_support/sound_server.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using namespace std::chrono_literals;
using testing::SteadyTime;

// True once `done` holds, polled for up to `limit`.
bool Eventually(std::chrono::milliseconds limit, const std::function<bool()>& done) {
  for (auto until = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < until; usleep(20'000)) {
    if (done()) return true;
  }
  return false;
}

// The headless clock on the bridge, speaking through PulseAudio, with its capture.
class PulseClock {
 public:
  PulseClock(const std::filesystem::path& root, const std::string& audio = "pulse",
             const std::string& start_at = "2026-12-06 14:05:10")
      : log_(root / "clock.log") {
    int to[2], from[2];
    EXPECT_TRUE(pipe(to) == 0 && pipe(from) == 0);
    std::vector<std::string> args = {
        HORATONE_BINARY, "--headless", "--root",    root.string(),
        "--node",        "stdio",      "--capture", (root / "on-air.wav").string(),
        "--start-at",    start_at};
    if (!audio.empty()) args.insert(args.end(), {"--audio", audio});
    pid_ = testing::Spawn(args, to[0], from[1], log_.string());
    EXPECT_GT(pid_, 0);
    close(to[0]);
    close(from[1]);
    in_ = to[1];
    out_ = from[0];
    lines_ = testing::Lines(out_);
  }
  ~PulseClock() {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    close(in_);
    close(out_);
  }

  void Send(const std::string& line) { ASSERT_TRUE(testing::WriteAll(in_, line + "\n")); }
  // Waits for `line`; the time it was read, or nothing if it did not come.
  std::optional<SteadyTime> WaitFor(const std::string& line) {
    for (const auto until = Now() + 20s; const auto got = Next(until);) {
      if (*got == line) return Now();
    }
    return std::nullopt;
  }
  // Every line the node is sent in the next `span`.
  std::vector<std::string> Drain(std::chrono::milliseconds span = 300ms) {
    std::vector<std::string> lines;
    for (const auto until = Now() + span; const auto got = Next(until);) lines.push_back(*got);
    return lines;
  }
  bool LogShows(const std::string& text) {
    return Eventually(20s, [&] { return Log().find(text) != std::string::npos; });
  }
  std::string Log() const { return testing::ReadBytes(log_); }
  // The exit status once the program has ended; -1 if it has not within 10 s.
  int Exit() {
    int status = 0;
    if (!Eventually(10s, [&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid() const { return pid_; }

 private:
  static SteadyTime Now() { return std::chrono::steady_clock::now(); }
  std::optional<std::string> Next(SteadyTime until) {
    return lines_.Next(std::chrono::duration_cast<std::chrono::milliseconds>(until - Now()));
  }

  std::filesystem::path log_;
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  testing::Lines lines_{-1};
};

class PulseOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::HavePulseAudio()) GTEST_SKIP() << "pulseaudio is not installed";
    // A voice of distinct tones at the output's own rate ("Blank" silent).
    const auto folder = root_.path() / "C" / "Program Files" / "Horatone";
    std::filesystem::create_directories(folder);
    int index = 0;
    for (std::string_view stem : clips::kAll) {
      const float level = stem == clips::kBlank ? 0.0f : 0.3f;
      ASSERT_TRUE(testing::WriteClip(
          folder / (std::string(stem) + ".wav"),
          testing::Tone(48000, 1, 0.35 + 0.003 * index, 300 + 7 * index, level)));
      ++index;
    }
    ASSERT_TRUE(server_.Start()) << testing::ReadBytes(server_dir_.path() / "server.log");
  }

  // The announcements in a recording, each passed through the capture's 16-bit conversion.
  std::vector<std::vector<float>> Announcements(const std::vector<float>& interleaved) {
    const auto file = root_.path() / "quantized.wav";
    EXPECT_TRUE(testing::WriteClip(file, testing::Samples{48000, 2, interleaved}));
    return testing::SplitAtSilence(testing::ReadClip(file).data);
  }
  std::vector<std::vector<float>> Sent() {
    return testing::SplitAtSilence(testing::ReadClip(root_.path() / "on-air.wav").data);
  }
  // While no server is there a code keys nothing; one that comes up is found.
  void SkipsUntilTheServerIsBack(PulseClock& clock) {
    clock.Send("DTMF 123");
    ASSERT_TRUE(clock.LogShows("announcement skipped"));
    for (const std::string& line : clock.Drain(1500ms)) EXPECT_EQ(line, "TRANSMIT 0");
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(clock.LogShows("sound device back"));
  }
  // A code, answered and ended; what the server gave out is what the clock sent.
  void ExpectTheNextCodeHeardAsSent(PulseClock& clock, const std::string& what) {
    testing::MonitorRecorder recorder;
    ASSERT_TRUE(recorder.ok());
    clock.Send("DTMF 123");
    ASSERT_TRUE(clock.WaitFor("TRANSMIT 1"));
    ASSERT_TRUE(clock.WaitFor("TRANSMIT 0"));
    clock.Send("CLOSING");
    EXPECT_EQ(clock.Exit(), 0);
    recorder.Stop();
    const auto heard = Announcements(recorder.Samples());
    ASSERT_EQ(heard.size(), 1u) << clock.Log();
    ExpectSame(heard.back(), Sent().back(), what);
  }
  // What the server gave out is what was sent, sample for sample; where not, how it differs
  // and whether the server says the clock's stream ran dry.
  void ExpectSame(const std::vector<float>& heard, const std::vector<float>& sent,
                  const std::string& what) {
    if (heard == sent) return;
    ADD_FAILURE() << what << ": " << heard.size() / 2 << " frames heard of " << sent.size() / 2
                  << " sent: " << testing::DescribeDifference(heard, sent) << "\n"
                  << ServerUnderruns();
  }
  std::string ServerUnderruns() const {
    std::string lines;
    for (const std::string& line : server_.Underruns()) lines += "\n  " + line;
    return lines.empty() ? "The server reports no underrun."
                         : "The server reports a stream that ran dry:" + lines;
  }

  // The full hour (the output woken ahead of it) and two announcements by DTMF (from rest),
  // with every core busy, through `audio`.
  void ExpectTheCaptureUnderLoad(const std::string& audio) {
    std::ofstream(root_.path() / "Horatone.ini") << "[SETTINGS]\r\nONHOUR=1\r\n";
    testing::MonitorRecorder recorder;
    ASSERT_TRUE(recorder.ok());
    testing::BusyCores busy;
    PulseClock clock(root_.path(), audio, "2026-12-06 14:59:57");
    ASSERT_TRUE(clock.WaitFor("TRANSMIT 0"));
    // Every write reaches the server through libpulse's main loop thread (the clock's own, or
    // that of ALSA's pulse plug-in): behind a real-time feeder it runs in real time too, or the
    // busy cores hold it until the server runs dry and plays silence within a word.
    ASSERT_TRUE(clock.LogShows(", buffer ")) << clock.Log();
    if (clock.Log().find("real-time audio thread") != std::string::npos) {
      EXPECT_EQ(testing::ThreadsAtNormalPriority(clock.pid(), "threaded-ml"), 0) << clock.Log();
    }
    for (int i = 0; i < 3; ++i) {
      if (i > 0) clock.Send("DTMF 123");
      ASSERT_TRUE(clock.WaitFor("TRANSMIT 1"));
      const std::optional<SteadyTime> released = clock.WaitFor("TRANSMIT 0");
      ASSERT_TRUE(released);
      // The node hears the release only after the last sample has come out of the server.
      EXPECT_LT(recorder.LastSoundArrival(), *released) << "announcement " << i;
      usleep(600'000);
    }
    clock.Send("CLOSING");
    EXPECT_EQ(clock.Exit(), 0);
    recorder.Stop();

    const auto heard = Announcements(recorder.Samples());
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    ASSERT_EQ(heard.size(), sent.size()) << ServerUnderruns();
    for (std::size_t i = 0; i < sent.size(); ++i) {
      ExpectSame(heard[i], sent[i], "announcement " + std::to_string(i));
    }
    EXPECT_EQ(clock.Log().find("underrun"), std::string::npos) << clock.Log();
  }

  TempDir root_;
  TempDir server_dir_;
  testing::PulseServer server_{server_dir_.path(), SuspendsIdleSink()};

 private:
  static bool SuspendsIdleSink() {
    return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())
               .find("Idle") != std::string::npos;
  }
};

TEST_F(PulseOutputTest, UnderLoadWhatLeavesTheServerIsTheCaptureAndTheReleaseFollowsIt) {
  ExpectTheCaptureUnderLoad("pulse");
}

// The same through ALSA's default route to the server, its pulse plug-in.
TEST_F(PulseOutputTest, ThroughAlsaToTheServerTheSameHolds) {
  if (!testing::HaveAlsaPulsePlugin()) GTEST_SKIP() << "ALSA's pulse plug-in is not installed";
  ExpectTheCaptureUnderLoad("alsa:pulse");
}

TEST_F(PulseOutputTest, AServerThatDiesCostsOnlyTheAnnouncementUnderWay) {
  PulseClock clock(root_.path());
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 0"));
  clock.Send("DTMF 123");
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 1"));
  server_.Kill(SIGKILL);
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 0"));  // released when the server went
  ASSERT_TRUE(clock.LogShows("no sound device"));
  clock.Drain();
  SkipsUntilTheServerIsBack(clock);

  ExpectTheNextCodeHeardAsSent(clock, "the announcement after the restart");
}

TEST_F(PulseOutputTest, WithNoServerNothingIsKeyedAndTheClockSaysWhy) {
  server_.Kill(SIGKILL);
  PulseClock clock(root_.path(), "");  // no --audio: it looks for a server
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 0"));
  ASSERT_TRUE(clock.LogShows("waiting for a PulseAudio server")) << clock.Log();
  SkipsUntilTheServerIsBack(clock);
  ExpectTheNextCodeHeardAsSent(clock, "the announcement after the server came");
}

// An idle clock lets the server suspend its sink; an exit never waits on a hung server and
// releases the transmitter first.
TEST_F(PulseOutputTest, AnIdleClockLetsTheServerSuspendAndAnExitDoesNotWaitOnAHungOne) {
  PulseClock clock(root_.path());
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 0"));
  clock.Send("DTMF 123");
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 1"));
  // The stream opens as the transmitter keys, so the sink runs a moment after the key-up line.
  EXPECT_TRUE(Eventually(2s, [&] { return server_.SinkState() == "RUNNING"; }))
      << server_.SinkState();
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 0"));
  ASSERT_TRUE(Eventually(10s, [&] { return server_.SinkState() == "SUSPENDED"; }));
  // and it stays so while nothing is to be said
  for (int i = 0; i < 10; ++i, usleep(500'000)) EXPECT_EQ(server_.SinkState(), "SUSPENDED");

  clock.Send("DTMF 123");
  ASSERT_TRUE(clock.WaitFor("TRANSMIT 1"));
  server_.Kill(SIGSTOP);
  kill(clock.pid(), SIGTERM);
  const int status = clock.Exit();
  server_.Kill(SIGCONT);
  EXPECT_EQ(status, 0);
  std::string last_keying;
  for (const std::string& line : clock.Drain()) {
    if (line.starts_with("TRANSMIT ")) last_keying = line;
  }
  EXPECT_EQ(last_keying, "TRANSMIT 0");
}

}  // namespace
}  // namespace horatone
