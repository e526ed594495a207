// A real svxlink-server for tests and benchmarks: a temporary configuration (a repeater logic
// whose receiver is a Voter of a main receiver and the clock's receiver, UDP audio on 127.0.0.1,
// squelch, PTT and DTMF on PTYs, the shipped Tcl handler), started and stopped by its pid, and
// its transmitter heard: the audio of its UDP output and the changes on its PTT PTY. The
// handler's FIFO lives in a folder any user may add files to but none may replace another's
// (as /dev/shm), the least a clock may be given.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support/posix_io.h"
#include "test_support/temp_dir.h"

namespace horatone::testing {

inline bool HaveSvxLink() { return access("/usr/bin/svxlink", X_OK) == 0; }

// A loopback port that was free a moment ago.
inline int FreePort(int type) {
  int port = 0;
  const int fd = BindLoopback(type, &port);
  if (fd >= 0) close(fd);
  return port;
}

// The slave end of one of SvxLink's PTYs, raw; -1 while it is not there.
inline int OpenRawPty(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  termios mode{};
  tcgetattr(fd, &mode);
  cfmakeraw(&mode);
  tcsetattr(fd, TCSANOW, &mode);
  return fd;
}

inline void StopProcess(pid_t* pid, int signal) {
  if (*pid <= 0) return;
  kill(*pid, signal);
  waitpid(*pid, nullptr, 0);
  *pid = -1;
}

// What SvxLink's transmitter did: PTT changes and the audio of its channel 0, with the moment
// each came.
struct Air {
  using Time = std::chrono::steady_clock::time_point;
  std::vector<std::pair<Time, char>> ptt;
  std::vector<int16_t> samples;
  std::vector<Time> packet_times;      // when each packet came
  std::vector<int64_t> packet_starts;  // and the index of its first sample

  std::string PttText() const {
    std::string text;
    for (const auto& [when, state] : ptt) text += state;
    return text;
  }
  // The first and last sample louder than `level`; -1 if none.
  std::pair<int64_t, int64_t> Loud(int level = 300) const {
    int64_t first = -1, last = -1;
    for (int64_t i = 0; i < static_cast<int64_t>(samples.size()); ++i) {
      if (std::abs(samples[i]) <= level) continue;
      if (first < 0) first = i;
      last = i;
    }
    return {first, last};
  }
  // When the packet holding `sample` came.
  Time ArrivalOf(int64_t sample) const {
    auto it = std::upper_bound(packet_starts.begin(), packet_starts.end(), sample);
    return packet_times[static_cast<std::size_t>(std::distance(packet_starts.begin(), it) - 1)];
  }
  // When `sample` goes on air: SvxLink sends a packet as it starts to play it.
  Time OnAirAt(int64_t sample, int rate) const {
    auto it = std::upper_bound(packet_starts.begin(), packet_starts.end(), sample);
    const auto index = static_cast<std::size_t>(std::distance(packet_starts.begin(), it) - 1);
    return packet_times[index] +
           std::chrono::microseconds((sample - packet_starts[index]) * 1'000'000 / rate);
  }
};

class SvxLinkPeer {
 public:
  // Writes the configuration; `handler` is the Tcl handler to install.
  SvxLinkPeer(const std::filesystem::path& dir, const std::filesystem::path& handler, int rate)
      : dir_(dir), rate_(rate) {
    // SvxLink's transmitter sends here; the socket stays for the peer's life.
    int tx_port = 0;
    tx_fd_ = BindLoopback(SOCK_DGRAM | SOCK_NONBLOCK, &tx_port);
    clock_port_ = FreePort(SOCK_DGRAM);
    main_port_ = FreePort(SOCK_DGRAM);
    while (main_port_ == clock_port_) main_port_ = FreePort(SOCK_DGRAM);
    // Other users may reach the folder of the FIFO, and add to it.
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_exec);
    std::filesystem::create_directories(dir_ / "run");
    std::filesystem::permissions(dir_ / "run", std::filesystem::perms::all |
                                                   std::filesystem::perms::sticky_bit);

    const std::filesystem::path stock = "/usr/share/svxlink";
    std::filesystem::create_directories(dir_ / "events.d" / "local");
    std::filesystem::create_symlink(stock / "events.tcl", dir_ / "events.tcl");
    std::filesystem::create_symlink(stock / "modules.d", dir_ / "modules.d");
    std::error_code none;
    for (const auto& entry : std::filesystem::directory_iterator(stock / "events.d", none)) {
      if (entry.path().extension() == ".tcl")
        std::filesystem::create_symlink(entry.path(), dir_ / "events.d" / entry.path().filename());
    }
    std::filesystem::copy_file(handler, dir_ / "events.d" / "local" / "horatone.tcl");
    const std::string d = dir_.string();
    std::ofstream conf(dir_ / "svxlink.conf");
    conf << "[GLOBAL]\nLOGICS=RepeaterLogic\nCARD_SAMPLE_RATE=" << rate << "\n\n"
         << "[RepeaterLogic]\nTYPE=Repeater\nRX=Voter\nTX=Tx1\nCALLSIGN=N0CALL\n"
         << "EVENT_HANDLER=" << d << "/events.tcl\nDEFAULT_LANG=en_US\nRGR_SOUND_DELAY=-1\n"
         << "FX_GAIN_NORMAL=0\nFX_GAIN_LOW=-12\nIDLE_TIMEOUT=1\nOPEN_ON_SQL=1\n"
         << "OPEN_SQL_FLANK=OPEN\nIDLE_SOUND_INTERVAL=0\nDTMF_CTRL_PTY=" << d << "/dtmf\n"
         << "HORATONE_EVENTS=" << EventsPath().string() << "\n\n"
         << "[Voter]\nTYPE=Voter\nRECEIVERS=Rx1,HoratoneRx\nVOTING_DELAY=0\nBUFFER_LENGTH=0\n\n"
         << "[Rx1]\nTYPE=Local\nAUDIO_DEV=udp:127.0.0.1:" << main_port_ << "\nAUDIO_CHANNEL=0\n"
         << "SQL_DET=PTY\nPTY_PATH=" << d << "/main_sql\nSQL_HANGTIME=0\n"
         << "DTMF_DEC_TYPE=INTERNAL\nDEEMPHASIS=0\n\n"
         << "[HoratoneRx]\nTYPE=Local\nAUDIO_DEV=udp:127.0.0.1:" << clock_port_
         << "\nAUDIO_CHANNEL=0\nSQL_DET=PTY\nPTY_PATH=" << d << "/clock_sql\nSQL_HANGTIME=0\n"
         << "DTMF_DEC_TYPE=NONE\nDEEMPHASIS=0\n\n"
         << "[Tx1]\nTYPE=Local\nAUDIO_DEV=udp:127.0.0.1:" << tx_port << "\nAUDIO_CHANNEL=0\n"
         << "PTT_TYPE=PTY\nPTT_PTY=" << d << "/ptt\nTIMEOUT=300\nTX_DELAY=0\nPREEMPHASIS=0\n";
  }
  ~SvxLinkPeer() {
    if (!StationOff()) std::fprintf(stderr, "the station's squelch could not be closed\n");
    Stop(SIGTERM);
    if (tx_fd_ >= 0) close(tx_fd_);
  }
  SvxLinkPeer(const SvxLinkPeer&) = delete;
  SvxLinkPeer& operator=(const SvxLinkPeer&) = delete;

  // Starts SvxLink and waits until its PTYs are there; false if they do not come.
  bool Start() {
    std::filesystem::remove(dir_ / "ptt");
    std::filesystem::remove(dir_ / "dtmf");
    pid_ = Spawn({"svxlink", "--config=" + (dir_ / "svxlink.conf").string(),
                  "--logfile=" + (dir_ / "svxlink.log").string()});
    if (pid_ <= 0) return false;
    if (ptt_fd_ >= 0) close(ptt_fd_);
    ptt_fd_ = -1;
    for (int i = 0; i < 400 && (ptt_fd_ < 0 || !std::filesystem::exists(dir_ / "dtmf")); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      if (ptt_fd_ < 0) ptt_fd_ = OpenRawPty(dir_ / "ptt");
    }
    // The control PTY is made last, as the logic finishes its start.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return ptt_fd_ >= 0 && std::filesystem::exists(dir_ / "dtmf");
  }
  void Stop(int signal) {
    StopProcess(&pid_, signal);
    if (ptt_fd_ >= 0) close(ptt_fd_);
    ptt_fd_ = -1;
  }

  // Writes to one of SvxLink's PTYs ("dtmf", "main_sql", ...).
  bool WriteTo(const std::string& pty, const std::string& bytes) const {
    const int fd = OpenRawPty(dir_ / pty);
    if (fd < 0) return false;
    const bool written =
        write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return written;
  }

  // A station on the main receiver: its squelch PTY says 'O' and its UDP input gets audio
  // (silence) in real time, as from a sound card, until StationOff() says 'Z'. SvxLink 19.09
  // reports a receiver's squelch closed only at the end of audio that passed it: a squelch
  // opened with no audio coming in at all stays open, and the repeater on, until SvxLink stops.
  bool StationOn() {
    StationOff();
    station_sql_ = OpenRawPty(dir_ / "main_sql");
    if (station_sql_ < 0) return false;
    station_streaming_ = true;
    station_ = std::thread([this] {
      using Clock = std::chrono::steady_clock;
      const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(static_cast<uint16_t>(main_port_));
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const int frames = rate_ / 50;  // 20 ms
      const std::vector<char> packet(static_cast<std::size_t>(frames) * 4, 0);
      auto next = Clock::now();
      while (station_streaming_) {
        sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        next += std::chrono::microseconds(1'000'000LL * frames / rate_);
        std::this_thread::sleep_until(next);
      }
      close(fd);
    });
    return write(station_sql_, "O", 1) == 1;
  }
  // The station's squelch closes; its receiver's audio goes on a little longer, as a sound
  // card's would, then stops. False if the 'Z' could not be written.
  bool StationOff() {
    if (station_sql_ < 0) return true;
    const bool closed = write(station_sql_, "Z", 1) == 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    station_streaming_ = false;
    station_.join();
    close(station_sql_);
    station_sql_ = -1;
    return closed;
  }

  // Listens to the transmitter for `limit`, or until its PTT has been released and then stayed
  // released for `quiet_after`.
  Air Listen(std::chrono::milliseconds limit,
             std::chrono::milliseconds quiet_after = std::chrono::milliseconds(600)) {
    using Clock = std::chrono::steady_clock;
    Air air;
    const auto start = Clock::now();
    auto stop_at = start + limit;
    while (Clock::now() < stop_at) {
      pollfd fds[2] = {{tx_fd_, POLLIN, 0}, {ptt_fd_, POLLIN, 0}};
      poll(fds, 2, 10);
      char bytes[16384];
      ssize_t got;
      while ((got = recv(tx_fd_, bytes, sizeof bytes, 0)) > 0) {
        air.packet_times.push_back(Clock::now());
        air.packet_starts.push_back(static_cast<int64_t>(air.samples.size()));
        for (ssize_t i = 0; i + 3 < got; i += 4)
          air.samples.push_back(static_cast<int16_t>(static_cast<uint8_t>(bytes[i]) |
                                                     (static_cast<uint8_t>(bytes[i + 1]) << 8)));
      }
      while (ptt_fd_ >= 0 && (got = read(ptt_fd_, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
          if (bytes[i] != 'T' && bytes[i] != 'R') continue;
          air.ptt.emplace_back(Clock::now(), bytes[i]);
          if (bytes[i] == 'R') stop_at = std::min(start + limit, Clock::now() + quiet_after);
          if (bytes[i] == 'T') stop_at = start + limit;
        }
      }
    }
    return air;
  }

  // The clock's command line for this SvxLink, before its own options (--root, --capture...).
  std::vector<std::string> ClockArgs(const std::string& binary) const {
    return {binary,          "--headless",
            "--node",        "svxlink",
            "--svx-audio",   "127.0.0.1:" + std::to_string(clock_port_),
            "--svx-rate",    std::to_string(rate_),
            "--svx-squelch", (dir_ / "clock_sql").string(),
            "--svx-dtmf",    (dir_ / "dtmf").string(),
            "--svx-events",  EventsPath().string()};
  }

  // The clock's FIFO, as HORATONE_EVENTS names it; its code file is beside it.
  std::filesystem::path EventsPath() const { return dir_ / "run" / "svxlink"; }
  std::filesystem::path CodePath() const { return dir_ / "run" / "svxlink.code"; }

  std::string Log() const { return ReadBytes(dir_ / "svxlink.log"); }

 private:
  std::filesystem::path dir_;
  int rate_;
  int tx_fd_ = -1, ptt_fd_ = -1;
  int clock_port_ = 0, main_port_ = 0;
  pid_t pid_ = -1;
  int station_sql_ = -1;
  std::atomic<bool> station_streaming_ = false;
  std::thread station_;
};

}  // namespace horatone::testing
