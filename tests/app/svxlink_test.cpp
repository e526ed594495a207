// The headless clock as an add-on of the real SvxLink from Debian, end to end: the test starts
// its own svxlink-server (test_support/svxlink_peer.h) and the clock on it, and listens to
// SvxLink's transmitter: its UDP audio and its PTT PTY. Both programs are stopped by their pids.
// The handler's FIFO and code file are tried as another local user (nobody) would.
#include <pwd.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "announce/clip_names.h"
#include "sound/audio_files.h"
#include "test_support/posix_io.h"
#include "test_support/svxlink_peer.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using std::chrono::milliseconds;

constexpr int kRate = 16000;

class SvxLinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::HaveSvxLink()) GTEST_SKIP() << "svxlink-server is not installed";
    dir_ = dir_holder_.path();
    svxlink_ = std::make_unique<testing::SvxLinkPeer>(
        dir_, std::filesystem::path(HORATONE_SOURCE_DIR) / "packaging/svxlink/horatone.tcl", kRate);
    // Every clip a tone of its own pitch, 0.2 s long ("Blank" silent).
    const auto folder = dir_ / "root" / "C" / "Program Files" / "Horatone";
    std::filesystem::create_directories(folder);
    int index = 0;
    for (std::string_view stem : clips::kAll) {
      const float level = stem == clips::kBlank ? 0.0f : 0.25f;
      ASSERT_TRUE(testing::WriteClip(folder / (std::string(stem) + ".wav"),
                                     testing::Tone(kRate, 1, 0.2, 400 + 10 * index++, level)));
    }
  }

  void TearDown() override {
    testing::StopProcess(&clock_pid_, SIGTERM);
    svxlink_.reset();
  }

  void StartSvxLink() { ASSERT_TRUE(svxlink_->Start()) << svxlink_->Log(); }

  void StartClock(const std::string& start_at) {
    std::vector<std::string> args = svxlink_->ClockArgs(HORATONE_BINARY);
    args.insert(args.end(), {"--root", (dir_ / "root").string(), "--capture",
                             (dir_ / "on-air.wav").string(), "--start-at", start_at});
    clock_pid_ = testing::Spawn(args, -1, -1, (dir_ / "clock.log").string());
    ASSERT_GT(clock_pid_, 0);
    ASSERT_TRUE(WaitForText("SvxLink connected"));
  }

  // Waits until the clock's log holds `text` `times` times.
  bool WaitForText(const std::string& text, int times = 1, int limit_ms = 10000) const {
    for (int waited = 0; waited <= limit_ms; waited += 20) {
      const std::string log = ClockLog();
      int found = 0;
      for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
      if (found >= times) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }

  std::string ClockLog() const { return testing::ReadBytes(dir_ / "clock.log"); }

  // How many times SvxLink has answered a command as unknown.
  int UnknownCommands() const {
    const std::string log = svxlink_->Log();
    int found = 0;
    for (auto at = log.find("\"unknown_command\""); at != std::string::npos;
         at = log.find("\"unknown_command\"", at + 1))
      ++found;
    return found;
  }
  // Waits until SvxLink has answered `times` commands as unknown; false if it does not.
  bool WaitForUnknownCommands(int times) const {
    for (int waited = 0; waited <= 5000 && UnknownCommands() < times; waited += 20)
      std::this_thread::sleep_for(milliseconds(20));
    return UnknownCommands() >= times;
  }

  TempDir dir_holder_;
  std::filesystem::path dir_;
  std::unique_ptr<testing::SvxLinkPeer> svxlink_;
  pid_t clock_pid_ = -1;
};

// The normalized correlation of `a` with `b` from `lag` on.
double Correlation(const std::vector<float>& a, const std::vector<float>& b, std::size_t lag) {
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < a.size() && i + lag < b.size(); ++i) {
    ab += a[i] * b[i + lag];
    aa += a[i] * a[i];
    bb += b[i + lag] * b[i + lag];
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// The announcement as the clock captured it, channel 0, loud part only.
std::vector<float> CapturedSound(const std::filesystem::path& file) {
  const testing::Samples air = testing::ReadClip(file);
  std::vector<float> mono;
  for (int64_t f = 0; f < air.frames(); ++f) mono.push_back(air.data[f * air.channels]);
  const auto loud = [](float v) { return std::fabs(v) > 0.01f; };
  const auto first = std::find_if(mono.begin(), mono.end(), loud);
  const auto last = std::find_if(mono.rbegin(), mono.rend(), loud).base();
  return first < last ? std::vector<float>(first, last) : std::vector<float>{};
}

TEST_F(SvxLinkFixture, ACodeOnTheControlPtyIsAnsweredOnSvxLinksTransmitterAndAWrongOneIsNot) {
  StartSvxLink();
  StartClock("2026-12-06 14:05:10");

  // Another command: SvxLink handles it itself (no such command), the clock stays quiet.
  ASSERT_TRUE(svxlink_->WriteTo("dtmf", "9999#"));
  svxlink_->Listen(milliseconds(2500));
  EXPECT_TRUE(WaitForText("DTMF from SvxLink: 9999"));
  EXPECT_EQ(ClockLog().find("announcement"), std::string::npos) << ClockLog();
  EXPECT_TRUE(WaitForUnknownCommands(1)) << svxlink_->Log();

  ASSERT_TRUE(svxlink_->WriteTo("dtmf", "123#"));
  const auto air = svxlink_->Listen(milliseconds(8000));
  testing::StopProcess(&clock_pid_, SIGTERM);
  ASSERT_NE(ClockLog().find("announcement: DTMF code"), std::string::npos) << ClockLog();
  // The Tcl handler claimed the clock's code: SvxLink left it alone.
  EXPECT_EQ(UnknownCommands(), 1) << svxlink_->Log();
  // With the clock gone the code is SvxLink's again.
  EXPECT_FALSE(std::filesystem::exists(svxlink_->CodePath()));
  ASSERT_TRUE(svxlink_->WriteTo("dtmf", "123#"));
  EXPECT_TRUE(WaitForUnknownCommands(2)) << svxlink_->Log();

  // PTT went T, then R, with the clock's audio between.
  ASSERT_GE(air.ptt.size(), 2u) << air.PttText();
  EXPECT_EQ(air.ptt.front().second, 'T');
  EXPECT_EQ(air.ptt.back().second, 'R');
  const auto [first, last] = air.Loud();
  ASSERT_GE(first, 0) << "nothing loud on SvxLink's transmitter";
  EXPECT_GT(air.ArrivalOf(first), air.ptt.front().first);
  EXPECT_LT(air.ArrivalOf(last), air.ptt.back().first);

  // The same sound as the clock's capture: the six clips of the time-is step on (the time is,
  // 14, hour, 05, minutes, PM), each in its place and in the same shape. SvxLink's own path
  // filters and levels the audio a little, so the shape is compared, not the samples.
  const std::vector<float> captured = CapturedSound(dir_ / "on-air.wav");
  ASSERT_NEAR(static_cast<double>(captured.size()) / kRate, 1.2, 0.01);
  constexpr int kClip = kRate / 5;
  for (int clip = 0; clip < 6; ++clip) {
    // The last clip may end in a silent sample, which the capture's trim leaves out.
    const auto end = std::min<std::size_t>(captured.size(), (clip + 1) * kClip);
    const std::vector<float> expected(captured.begin() + clip * kClip,
                                      captured.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<float> sent;
    for (int64_t i = first + clip * kClip - 400; i < first + (clip + 1) * kClip + 400; ++i) {
      const bool inside = i >= 0 && i < static_cast<int64_t>(air.samples.size());
      sent.push_back(inside ? air.samples[i] / 32768.0f : 0.0f);
    }
    double best = 0;
    for (std::size_t lag = 0; lag <= 800 && best <= 0.9; ++lag)
      best = std::max(best, Correlation(expected, sent, lag));
    EXPECT_GT(best, 0.9) << "clip " << clip;
  }
}

TEST_F(SvxLinkFixture, AStationOnTheMainReceiverHoldsTheScheduledSlotAndFreesTheNextOne) {
  StartSvxLink();
  StartClock("2026-12-06 14:14:56");
  ASSERT_TRUE(svxlink_->StationOn());
  ASSERT_TRUE(WaitForText("SvxLink busy: a station on its receiver")) << ClockLog();
  std::this_thread::sleep_for(milliseconds(6000));  // past 14:15:00
  ASSERT_TRUE(svxlink_->StationOff());
  // Once the station has gone the flags clear at once: the repeater's hang time that follows
  // is not taken for someone else's transmission.
  ASSERT_TRUE(WaitForText("SvxLink free")) << ClockLog();
  const std::string log = ClockLog();
  const auto last_busy = log.rfind("SvxLink busy: ", log.find("SvxLink free"));
  ASSERT_NE(last_busy, std::string::npos) << log;
  EXPECT_EQ(log.compare(last_busy, 40, "SvxLink busy: a station on its receiver\n"), 0) << log;
  EXPECT_EQ(log.find("announcement"), std::string::npos) << log;
  testing::StopProcess(&clock_pid_, SIGTERM);

  // The next slot on the same SvxLink is announced.
  std::filesystem::remove(dir_ / "clock.log");
  StartClock("2026-12-06 14:29:56");
  EXPECT_TRUE(WaitForText("announcement: ", 1, 10000)) << ClockLog();
  const auto air = svxlink_->Listen(milliseconds(8000));
  EXPECT_GE(air.Loud().first, 0) << ClockLog();
}

TEST_F(SvxLinkFixture, SvxLinkKilledMidAnnouncementIsLostAndFoundAgain) {
  StartSvxLink();
  StartClock("2026-12-06 14:05:10");
  ASSERT_TRUE(svxlink_->WriteTo("dtmf", "123#"));
  ASSERT_TRUE(WaitForText("transmitter PTT ON"));
  std::this_thread::sleep_for(milliseconds(300));
  svxlink_->Stop(SIGKILL);
  ASSERT_TRUE(WaitForText("SvxLink lost")) << ClockLog();
  EXPECT_TRUE(WaitForText("announcement abandoned")) << ClockLog();

  StartSvxLink();
  ASSERT_TRUE(WaitForText("SvxLink connected", 2)) << ClockLog();
  ASSERT_TRUE(svxlink_->WriteTo("dtmf", "123#"));
  const auto air = svxlink_->Listen(milliseconds(8000));
  EXPECT_EQ(air.PttText().substr(0, 1), "T");
  EXPECT_EQ(air.PttText().back(), 'R');
  EXPECT_GE(air.Loud().first, 0) << ClockLog();
}

// Runs `command` in a shell as the user nobody; its exit status, or -1.
int AsNobody(const std::string& command) {
  const pid_t pid =
      testing::Spawn({"timeout", "10", "setpriv", "--reuid=nobody", "--regid=nogroup",
                      "--clear-groups", "sh", "-c", command});
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Waits until `file` holds `bytes`; false if it does not.
bool WaitForFile(const std::string& file, const std::string& bytes) {
  for (int waited = 0; waited < 5000 && testing::ReadBytes(file) != bytes; waited += 20)
    std::this_thread::sleep_for(milliseconds(20));
  return testing::ReadBytes(file) == bytes;
}

bool CanDropToNobody() { return geteuid() == 0 && getpwnam("nobody") != nullptr; }

TEST_F(SvxLinkFixture, OnlyTheClocksUserMayReportIntoItsFifoOrReadItsCode) {
  if (!CanDropToNobody()) GTEST_SKIP() << "trying another user needs root";
  StartSvxLink();
  StartClock("2026-12-06 14:05:10");
  const std::string fifo = svxlink_->EventsPath().string();
  const std::string code = svxlink_->CodePath().string();
  struct stat info {};
  ASSERT_EQ(stat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  // The code file holds the code of the settings once they have been read.
  ASSERT_TRUE(WaitForFile(code, "123\n")) << testing::ReadBytes(code);
  ASSERT_EQ(stat(code.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  // nobody sees both files, and can open neither.
  ASSERT_EQ(AsNobody("test -p '" + fifo + "' && test -f '" + code + "'"), 0);
  EXPECT_NE(AsNobody("printf 'SQL 1\\nTX 1\\n' > '" + fifo + "'"), 0);
  EXPECT_NE(AsNobody("cat '" + code + "'"), 0);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(ClockLog().find("SvxLink busy"), std::string::npos) << ClockLog();
  // The handler's own reports still come through: a station on the main receiver, for a while
  // (SvxLink does not see a squelch close that comes too soon after it opened).
  ASSERT_TRUE(svxlink_->StationOn());
  ASSERT_TRUE(WaitForText("SvxLink busy: a station on its receiver")) << ClockLog();
  std::this_thread::sleep_for(milliseconds(1500));
  ASSERT_TRUE(svxlink_->StationOff());
  ASSERT_TRUE(WaitForText("SvxLink free")) << ClockLog();

  // New settings take a new code, and the file follows.
  testing::WriteBytes(dir_ / "root" / "Horatone.ini", "[SETTINGS]\r\nDTMFTIME=4567\r\n");
  kill(clock_pid_, SIGHUP);
  EXPECT_TRUE(WaitForFile(code, "4567\n")) << testing::ReadBytes(code);
  ASSERT_EQ(stat(code.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  // Junk from the clock's own user reaches the log bounded and escaped.
  const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  const std::string junk = std::string("SQL \0\xFF<script>\x1B[2J", 18) + std::string(3000, 'x');
  for (int line = 0; line < 200; ++line) {
    if (!testing::WriteAll(writer, junk + "\n")) std::this_thread::sleep_for(milliseconds(5));
  }
  close(writer);
  ASSERT_TRUE(WaitForText("SvxLink's event handler sent", 5)) << ClockLog();
  std::this_thread::sleep_for(milliseconds(500));
  testing::StopProcess(&clock_pid_, SIGTERM);
  const std::string log = ClockLog();
  EXPECT_TRUE(WaitForText("more refused reports not logged one by one")) << log;
  EXPECT_FALSE(WaitForText("SvxLink's event handler sent", 6, 0)) << log;
  EXPECT_EQ(log.find('\0'), std::string::npos);
  EXPECT_EQ(log.find('\xFF'), std::string::npos);
  EXPECT_EQ(log.find('\x1B'), std::string::npos);
  EXPECT_NE(log.find("a report longer than 2048 bytes: \"SQL \\x00\\xFF<script>\\x1B[2Jxxx"),
            std::string::npos)
      << log;
  EXPECT_FALSE(std::filesystem::exists(code));
}

TEST_F(SvxLinkFixture, ASquattersFifoHearsNothingFromSvxLinkAndKeepsTheClockFromStarting) {
  if (!CanDropToNobody()) GTEST_SKIP() << "trying another user needs root";
  // Another user came first: a FIFO anyone may write, a code file saying 9999, and a reader.
  const std::string fifo = svxlink_->EventsPath().string();
  const std::string code = svxlink_->CodePath().string();
  ASSERT_EQ(AsNobody("mkfifo -m 666 '" + fifo + "' && echo 9999 > '" + code + "'"), 0);
  const int squatter = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(squatter, 0);
  StartSvxLink();

  // The clock will not use it: it ends at once, saying why.
  std::vector<std::string> args = svxlink_->ClockArgs(HORATONE_BINARY);
  args.insert(args.end(), {"--root", (dir_ / "root").string()});
  clock_pid_ = testing::Spawn(args, -1, -1, (dir_ / "clock.log").string());
  ASSERT_GT(clock_pid_, 0);
  int status = -1;
  for (int waited = 0; waited < 10000; waited += 20) {
    if (waitpid(clock_pid_, &status, WNOHANG) == clock_pid_) {
      clock_pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  ASSERT_EQ(clock_pid_, -1) << "the clock did not end";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(ClockLog().find(fifo + " is a FIFO of user "), std::string::npos) << ClockLog();
  EXPECT_EQ(ClockLog().find("SvxLink connected"), std::string::npos) << ClockLog();

  // SvxLink's reports (a station, its transmitter, the handler's once a second retries) and its
  // commands, the squatter's code among them, all stay SvxLink's own.
  ASSERT_TRUE(svxlink_->StationOn());
  std::this_thread::sleep_for(milliseconds(1500));
  ASSERT_TRUE(svxlink_->StationOff());
  ASSERT_TRUE(svxlink_->WriteTo("dtmf", "9999#"));
  EXPECT_TRUE(WaitForUnknownCommands(1)) << svxlink_->Log();
  ASSERT_TRUE(svxlink_->WriteTo("dtmf", "123#"));
  EXPECT_TRUE(WaitForUnknownCommands(2)) << svxlink_->Log();
  char bytes[64];
  EXPECT_LE(read(squatter, bytes, sizeof bytes), 0) << "the handler wrote to the squatter";
  close(squatter);
}

}  // namespace
}  // namespace horatone
