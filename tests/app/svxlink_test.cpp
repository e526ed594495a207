// The headless clock as an add-on of the real SvxLink from Debian, end to end: the test starts
// its own svxlink-server with a temporary configuration (a repeater logic whose receiver is a
// Voter of a main receiver and the clock's receiver, UDP audio on 127.0.0.1, squelch, PTT and
// DTMF on PTYs, the shipped Tcl handler), starts the clock on it, and listens to SvxLink's
// transmitter: its UDP audio and its PTT PTY. Both programs are stopped by their pids.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "announce/clip_names.h"
#include "platform/audio/audio_files.h"
#include "test_support/posix_io.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kRate = 16000;

bool HaveSvxLink() { return access("/usr/bin/svxlink", X_OK) == 0; }

// A port that was free a moment ago.
int FreePort(int type) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// The slave end of one of SvxLink's PTYs, raw; -1 while it is not there.
int OpenPty(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  termios mode{};
  tcgetattr(fd, &mode);
  cfmakeraw(&mode);
  tcsetattr(fd, TCSANOW, &mode);
  return fd;
}

void Stop(pid_t* pid, int signal) {
  if (*pid <= 0) return;
  kill(*pid, signal);
  waitpid(*pid, nullptr, 0);
  *pid = -1;
}

// What SvxLink's transmitter did: PTT changes and the audio of its channel, with when each
// came (seconds from the start of listening).
struct Air {
  std::vector<std::pair<double, char>> ptt;
  std::vector<int16_t> samples;
  std::vector<double> packet_times;  // when each packet came, and its first sample
  std::vector<int64_t> packet_starts;
  std::string PttText() const {
    std::string text;
    for (const auto& [when, state] : ptt) text += state;
    return text;
  }
  // The first and last sample louder than `level` from `from` on; -1 if none.
  std::pair<int64_t, int64_t> Loud(int64_t from = 0, int level = 300) const {
    int64_t first = -1, last = -1;
    for (int64_t i = from; i < static_cast<int64_t>(samples.size()); ++i) {
      if (std::abs(samples[i]) <= level) continue;
      if (first < 0) first = i;
      last = i;
    }
    return {first, last};
  }
  // When the packet holding `sample` arrived.
  double ArrivalOf(int64_t sample) const {
    auto it = std::upper_bound(packet_starts.begin(), packet_starts.end(), sample);
    return packet_times[std::distance(packet_starts.begin(), it) - 1];
  }
};

class SvxLinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSvxLink()) GTEST_SKIP() << "svxlink-server is not installed";
    dir_ = dir_holder_.path();
    // SvxLink's transmitter sends here; the socket stays for the whole test.
    tx_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(tx_fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
    getsockname(tx_fd_, reinterpret_cast<sockaddr*>(&address), &size);
    tx_port_ = ntohs(address.sin_port);
    clock_port_ = FreePort(SOCK_DGRAM);
    main_port_ = FreePort(SOCK_DGRAM);
    while (main_port_ == clock_port_) main_port_ = FreePort(SOCK_DGRAM);
    events_port_ = FreePort(SOCK_STREAM);
    WriteSvxLinkFiles();
    WriteVoice();
  }

  void TearDown() override {
    Stop(&clock_pid_, SIGTERM);
    Stop(&svxlink_pid_, SIGTERM);
    if (ptt_fd_ >= 0) close(ptt_fd_);
    if (tx_fd_ >= 0) close(tx_fd_);
  }

  void WriteSvxLinkFiles() {
    const std::filesystem::path stock = "/usr/share/svxlink";
    std::filesystem::create_directories(dir_ / "events.d" / "local");
    std::filesystem::create_symlink(stock / "events.tcl", dir_ / "events.tcl");
    std::filesystem::create_symlink(stock / "modules.d", dir_ / "modules.d");
    for (const auto& entry : std::filesystem::directory_iterator(stock / "events.d")) {
      if (entry.path().extension() == ".tcl")
        std::filesystem::create_symlink(entry.path(), dir_ / "events.d" / entry.path().filename());
    }
    std::filesystem::copy_file(
        std::filesystem::path(HORATONE_SOURCE_DIR) / "packaging/svxlink/horatone.tcl",
        dir_ / "events.d" / "local" / "horatone.tcl");
    const std::string d = dir_.string();
    std::ofstream conf(dir_ / "svxlink.conf");
    conf << "[GLOBAL]\nLOGICS=RepeaterLogic\nCARD_SAMPLE_RATE=" << kRate << "\n\n"
         << "[RepeaterLogic]\nTYPE=Repeater\nRX=Voter\nTX=Tx1\nCALLSIGN=N0CALL\n"
         << "EVENT_HANDLER=" << d << "/events.tcl\nDEFAULT_LANG=en_US\nRGR_SOUND_DELAY=-1\n"
         << "FX_GAIN_NORMAL=0\nFX_GAIN_LOW=-12\nIDLE_TIMEOUT=1\nOPEN_ON_SQL=1\n"
         << "OPEN_SQL_FLANK=OPEN\nIDLE_SOUND_INTERVAL=0\nDTMF_CTRL_PTY=" << d << "/dtmf\n"
         << "HORATONE_EVENTS=127.0.0.1:" << events_port_ << "\n\n"
         << "[Voter]\nTYPE=Voter\nRECEIVERS=Rx1,HoratoneRx\nVOTING_DELAY=0\nBUFFER_LENGTH=0\n\n"
         << "[Rx1]\nTYPE=Local\nAUDIO_DEV=udp:127.0.0.1:" << main_port_ << "\nAUDIO_CHANNEL=0\n"
         << "SQL_DET=PTY\nPTY_PATH=" << d << "/main_sql\nSQL_HANGTIME=0\n"
         << "DTMF_DEC_TYPE=INTERNAL\nDEEMPHASIS=0\n\n"
         << "[HoratoneRx]\nTYPE=Local\nAUDIO_DEV=udp:127.0.0.1:" << clock_port_
         << "\nAUDIO_CHANNEL=0\nSQL_DET=PTY\nPTY_PATH=" << d << "/clock_sql\nSQL_HANGTIME=0\n"
         << "DTMF_DEC_TYPE=NONE\nDEEMPHASIS=0\n\n"
         << "[Tx1]\nTYPE=Local\nAUDIO_DEV=udp:127.0.0.1:" << tx_port_ << "\nAUDIO_CHANNEL=0\n"
         << "PTT_TYPE=PTY\nPTT_PTY=" << d << "/ptt\nTIMEOUT=300\nTX_DELAY=0\nPREEMPHASIS=0\n";
  }

  // Every clip a tone of its own pitch, 0.2 s long ("Blank" silent).
  void WriteVoice() {
    const auto folder = dir_ / "root" / "C" / "Program Files" / "Horatone";
    std::filesystem::create_directories(folder);
    int index = 0;
    for (std::string_view stem : clips::kAll) {
      const float level = stem == clips::kBlank ? 0.0f : 0.25f;
      ASSERT_TRUE(testing::WriteClip(folder / (std::string(stem) + ".wav"),
                                     testing::Tone(kRate, 1, 0.2, 400 + 10 * index++, level)));
    }
  }

  void StartSvxLink() {
    std::filesystem::remove(dir_ / "ptt");
    svxlink_pid_ = testing::Spawn({"svxlink", "--config=" + (dir_ / "svxlink.conf").string(),
                                   "--logfile=" + (dir_ / "svxlink.log").string()});
    ASSERT_GT(svxlink_pid_, 0);
    if (ptt_fd_ >= 0) close(ptt_fd_);
    ptt_fd_ = -1;
    for (int i = 0; i < 200 && ptt_fd_ < 0; ++i) {
      std::this_thread::sleep_for(milliseconds(25));
      ptt_fd_ = OpenPty(dir_ / "ptt");
    }
    ASSERT_GE(ptt_fd_, 0) << testing::ReadBytes(dir_ / "svxlink.log");
    // The logic is ready once its event handler has been loaded; its control PTY comes after.
    for (int i = 0; i < 200 && !std::filesystem::exists(dir_ / "dtmf"); ++i)
      std::this_thread::sleep_for(milliseconds(25));
    std::this_thread::sleep_for(milliseconds(200));
  }

  void StartClock(const std::string& start_at) {
    clock_pid_ = testing::Spawn({HORATONE_BINARY, "--headless",
                                 "--root",        (dir_ / "root").string(),
                                 "--node",        "svxlink",
                                 "--svx-audio",   "127.0.0.1:" + std::to_string(clock_port_),
                                 "--svx-rate",    std::to_string(kRate),
                                 "--svx-squelch", (dir_ / "clock_sql").string(),
                                 "--svx-dtmf",    (dir_ / "dtmf").string(),
                                 "--svx-events",  "127.0.0.1:" + std::to_string(events_port_),
                                 "--capture",     (dir_ / "on-air.wav").string(),
                                 "--start-at",    start_at},
                                -1, -1, (dir_ / "clock.log").string());
    ASSERT_GT(clock_pid_, 0);
    ASSERT_TRUE(WaitForText(dir_ / "clock.log", "SvxLink connected"));
  }

  // Waits until `file` holds `text` `times` times.
  static bool WaitForText(const std::filesystem::path& file, const std::string& text, int times = 1,
                          milliseconds limit = milliseconds(10000)) {
    const auto give_up = Clock::now() + limit;
    do {
      const std::string bytes = testing::ReadBytes(file);
      int found = 0;
      for (auto at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1))
        ++found;
      if (found >= times) return true;
      std::this_thread::sleep_for(milliseconds(20));
    } while (Clock::now() < give_up);
    return false;
  }

  std::string ClockLog() const { return testing::ReadBytes(dir_ / "clock.log"); }

  void WriteTo(const std::string& pty, const std::string& bytes) {
    const int fd = OpenPty(dir_ / pty);
    ASSERT_GE(fd, 0) << pty;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }

  // Listens to SvxLink's transmitter for `limit`, or until its PTT has been released and then
  // stayed released for `quiet_after`.
  Air Listen(milliseconds limit, milliseconds quiet_after = milliseconds(600)) {
    Air air;
    const auto start = Clock::now();
    const auto seconds = [&] {
      return std::chrono::duration<double>(Clock::now() - start).count();
    };
    auto stop_at = start + limit;
    while (Clock::now() < stop_at) {
      pollfd fds[2] = {{tx_fd_, POLLIN, 0}, {ptt_fd_, POLLIN, 0}};
      poll(fds, 2, 10);
      char bytes[8192];
      ssize_t got;
      while ((got = recv(tx_fd_, bytes, sizeof bytes, 0)) > 0) {
        air.packet_times.push_back(seconds());
        air.packet_starts.push_back(static_cast<int64_t>(air.samples.size()));
        for (ssize_t i = 0; i + 3 < got; i += 4)  // channel 0 of each frame
          air.samples.push_back(static_cast<int16_t>(static_cast<uint8_t>(bytes[i]) |
                                                     (static_cast<uint8_t>(bytes[i + 1]) << 8)));
      }
      while (ptt_fd_ >= 0 && (got = read(ptt_fd_, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
          if (bytes[i] != 'T' && bytes[i] != 'R') continue;
          air.ptt.emplace_back(seconds(), bytes[i]);
          if (bytes[i] == 'R') stop_at = std::min(stop_at + limit, Clock::now() + quiet_after);
          if (bytes[i] == 'T') stop_at = start + limit;
        }
      }
    }
    return air;
  }

  TempDir dir_holder_;
  std::filesystem::path dir_;
  int tx_fd_ = -1, ptt_fd_ = -1;
  int tx_port_ = 0, clock_port_ = 0, main_port_ = 0, events_port_ = 0;
  pid_t svxlink_pid_ = -1, clock_pid_ = -1;
};

// The best normalized correlation of `b` against `a` over lags of up to `max_lag` samples.
double BestCorrelation(const std::vector<float>& a, const std::vector<float>& b, int max_lag) {
  double best = 0;
  for (int lag = -max_lag; lag <= max_lag; ++lag) {
    double ab = 0, aa = 0, bb = 0;
    for (int64_t i = 0; i < static_cast<int64_t>(a.size()); ++i) {
      const int64_t j = i + lag;
      if (j < 0 || j >= static_cast<int64_t>(b.size())) continue;
      ab += a[i] * b[j];
      aa += a[i] * a[i];
      bb += b[j] * b[j];
    }
    if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
  }
  return best;
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

  // A wrong code: SvxLink handles it itself, the clock stays quiet.
  WriteTo("dtmf", "124#");
  Listen(milliseconds(2500));
  EXPECT_TRUE(WaitForText(dir_ / "clock.log", "DTMF from SvxLink: 124"));
  EXPECT_EQ(ClockLog().find("announcement"), std::string::npos) << ClockLog();

  WriteTo("dtmf", "123#");
  const Air air = Listen(milliseconds(8000));
  Stop(&clock_pid_, SIGTERM);
  ASSERT_NE(ClockLog().find("announcement: DTMF code"), std::string::npos) << ClockLog();
  // SvxLink answered the wrong code as an unknown command but left the clock's code alone.
  const std::string svxlink_log = testing::ReadBytes(dir_ / "svxlink.log");
  const auto unknown = svxlink_log.find("\"unknown_command\"");
  EXPECT_NE(unknown, std::string::npos) << svxlink_log;
  EXPECT_EQ(svxlink_log.find("\"unknown_command\"", unknown + 1), std::string::npos) << svxlink_log;

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
    const std::vector<float> expected(captured.begin() + clip * kClip,
                                      captured.begin() + (clip + 1) * kClip);
    std::vector<float> sent;
    for (int64_t i = first + clip * kClip - 400; i < first + (clip + 1) * kClip + 400; ++i) {
      const bool inside = i >= 0 && i < static_cast<int64_t>(air.samples.size());
      sent.push_back(inside ? air.samples[i] / 32768.0f : 0.0f);
    }
    double best = 0;
    for (int lag = 0; lag <= 800; lag += 1) {
      best = std::max(best, BestCorrelation(expected, {sent.begin() + lag, sent.end()}, 0));
      if (best > 0.9) break;
    }
    EXPECT_GT(best, 0.9) << "clip " << clip;
  }
}

TEST_F(SvxLinkFixture, AStationOnTheMainReceiverHoldsTheScheduledSlot) {
  StartSvxLink();
  StartClock("2026-12-06 14:14:56");
  const int main_sql = OpenPty(dir_ / "main_sql");  // held open so the squelch stays open
  ASSERT_GE(main_sql, 0);
  ASSERT_EQ(write(main_sql, "O", 1), 1);
  std::this_thread::sleep_for(milliseconds(6000));  // past 14:15:00
  ASSERT_EQ(write(main_sql, "Z", 1), 1);
  close(main_sql);
  EXPECT_EQ(ClockLog().find("announcement"), std::string::npos) << ClockLog();
  Stop(&clock_pid_, SIGTERM);

  // The same slot without the station is announced.
  std::filesystem::remove(dir_ / "clock.log");
  StartClock("2026-12-06 14:29:57");
  EXPECT_TRUE(WaitForText(dir_ / "clock.log", "announcement: ", 1, milliseconds(8000)))
      << ClockLog();
}

TEST_F(SvxLinkFixture, SvxLinkKilledMidAnnouncementIsLostAndFoundAgain) {
  StartSvxLink();
  StartClock("2026-12-06 14:05:10");
  WriteTo("dtmf", "123#");
  ASSERT_TRUE(WaitForText(dir_ / "clock.log", "transmitter PTT ON"));
  std::this_thread::sleep_for(milliseconds(300));
  Stop(&svxlink_pid_, SIGKILL);
  ASSERT_TRUE(WaitForText(dir_ / "clock.log", "SvxLink lost")) << ClockLog();
  EXPECT_TRUE(WaitForText(dir_ / "clock.log", "announcement abandoned")) << ClockLog();

  StartSvxLink();
  ASSERT_TRUE(WaitForText(dir_ / "clock.log", "SvxLink connected", 2)) << ClockLog();
  WriteTo("dtmf", "123#");
  const Air air = Listen(milliseconds(8000));
  EXPECT_EQ(air.PttText().substr(0, 1), "T");
  EXPECT_EQ(air.PttText().back(), 'R');
  EXPECT_GE(air.Loud().first, 0) << ClockLog();
}

}  // namespace
}  // namespace horatone
