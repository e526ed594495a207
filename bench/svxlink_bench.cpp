// The clock as an add-on of a real svxlink-server (test_support/svxlink_peer.h): how soon the
// clock's first sample is on SvxLink's transmitter after a code is written to the control PTY,
// and after the slot second of a scheduled announcement. A sample is taken to be on air when
// SvxLink sends it (it sends its transmitter's audio as it plays it). The slot second is
// measured from the moment the clock was started with --start-at three seconds before it, so
// the figure includes the clock's own start (a few ms) and reads high rather than low. Then a
// station on SvxLink's main receiver (squelch PTY, audio streaming) goes: from its 'Z' to the
// clock's flags clearing ("SvxLink free" in its log, polled every millisecond) and to SvxLink's
// PTT going 'R' (the test configuration's IDLE_TIMEOUT of 1 s, then the closing tones).
// Prints table rows; asserts nothing. Run by hand: build/bench/svxlink_bench [runs]
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "announce/clip_names.h"
#include "sound/audio_files.h"
#include "test_support/svxlink_peer.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int kRate = 16000;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Row(const char* what, std::vector<double> values) {
  if (values.empty()) {
    std::printf("| %s | no measurement | |\n", what);
    return;
  }
  std::sort(values.begin(), values.end());
  std::printf("| %s | median %.1f ms, min %.1f, max %.1f (n=%zu) | |\n", what,
              values[values.size() / 2], values.front(), values.back(), values.size());
}

int Run(int runs) {
  if (!testing::HaveSvxLink()) {
    std::fprintf(stderr, "svxlink_bench: svxlink-server is not installed\n");
    return 1;
  }
  TempDir dir;
  const auto folder = dir.path() / "root" / "C" / "Program Files" / "Horatone";
  std::filesystem::create_directories(folder);
  int index = 0;
  for (std::string_view stem : clips::kAll) {
    testing::WriteClip(
        folder / (std::string(stem) + ".wav"),
        testing::Tone(kRate, 1, 0.2, 400 + 10 * index++, stem == clips::kBlank ? 0.0f : 0.25f));
  }
  testing::SvxLinkPeer svxlink(
      dir.path(), std::filesystem::path(HORATONE_SOURCE_DIR) / "packaging/svxlink/horatone.tcl",
      kRate);
  if (!svxlink.Start()) {
    std::fprintf(stderr, "svxlink_bench: svxlink did not start\n%s", svxlink.Log().c_str());
    return 1;
  }
  const auto log = dir.path() / "clock.log";
  std::vector<double> after_slot, after_code, flags_clear, ptt_off;
  const auto times_in_log = [&log](const std::string& text) {
    const std::string bytes = testing::ReadBytes(log);
    int found = 0;
    for (auto at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1))
      ++found;
    return found;
  };
  for (int run = 0; run < runs; ++run) {
    std::vector<std::string> args = svxlink.ClockArgs(HORATONE_BINARY);
    args.insert(args.end(),
                {"--root", (dir.path() / "root").string(), "--start-at", "2026-12-06 14:14:57"});
    std::filesystem::remove(log);
    const Clock::time_point started = Clock::now();
    pid_t clock = testing::Spawn(args, -1, -1, log.string());
    const testing::Air slot = svxlink.Listen(8s);
    const int64_t first = slot.Loud().first;
    if (first >= 0) after_slot.push_back(Ms(slot.OnAirAt(first, kRate) - (started + 3s)));

    // Codes on the same clock while it is idle.
    for (int code = 0; code < 2; ++code) {
      std::this_thread::sleep_for(300ms);
      const Clock::time_point written = Clock::now();
      if (!svxlink.WriteTo("dtmf", "123#")) break;
      const testing::Air air = svxlink.Listen(8s);
      const int64_t sound = air.Loud().first;
      if (sound >= 0) after_code.push_back(Ms(air.OnAirAt(sound, kRate) - written));
    }

    // A station comes and goes.
    std::this_thread::sleep_for(300ms);
    const int free_before = times_in_log("SvxLink free");
    if (svxlink.StationOn()) {
      std::this_thread::sleep_for(1500ms);
      const Clock::time_point closed = Clock::now();
      std::thread station([&svxlink] {
        if (!svxlink.StationOff()) std::fprintf(stderr, "svxlink_bench: no 'Z' for the station\n");
      });
      while (Clock::now() - closed < 5s && times_in_log("SvxLink free") == free_before)
        std::this_thread::sleep_for(1ms);
      if (times_in_log("SvxLink free") > free_before)
        flags_clear.push_back(Ms(Clock::now() - closed));
      const testing::Air tail = svxlink.Listen(5s);
      station.join();
      for (const auto& [when, state] : tail.ptt) {
        if (state == 'R') ptt_off.push_back(Ms(when - closed));
      }
    }
    testing::StopProcess(&clock, SIGTERM);
  }
  Row("SvxLink: code on the control PTY -> first clock sample on its transmitter", after_code);
  Row("SvxLink: slot second -> first clock sample on its transmitter", after_slot);
  Row("SvxLink: station's squelch 'Z' -> the clock's busy flags clear", flags_clear);
  Row("SvxLink: station's squelch 'Z' -> its PTT 'R' (IDLE_TIMEOUT=1)", ptt_off);
  return 0;
}

}  // namespace
}  // namespace horatone

int main(int argc, char** argv) { return horatone::Run(argc > 1 ? std::atoi(argv[1]) : 5); }
