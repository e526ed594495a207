// `horatone say`; see say_command.h. The announcement is the one "Say The Time" starts, begun
// at the chosen minute; the file runs from its first sound to its last, 16-bit like the
// capture of the air, so that both carry the same samples.
#include "say_command.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <ostream>

#include "runtime/system_clock.h"
#include "shell/parse_number.h"
#include "ui/web/rendered_announcement.h"

namespace horatone {
namespace {

// Writes the WAV's bytes to `target`, a path or "-" for standard output.
Status WriteBytes(const std::string& target, const std::string& bytes) {
  if (target != "-") {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out ? Status::Ok() : Status::Error("cannot write " + target);
  }
  for (std::size_t put = 0; put < bytes.size();) {
    const ssize_t n = write(STDOUT_FILENO, bytes.data() + put, bytes.size() - put);
    if (n <= 0) return Status::Error("writing to standard output failed");
    put += static_cast<std::size_t>(n);
  }
  return Status::Ok();
}

}  // namespace

int SayCommand(const std::vector<std::string>& args, const std::filesystem::path& root,
               std::ostream& out, std::ostream& err) {
  const auto usage = [&err](const std::string& problem) {
    err << "horatone say: " << problem << "\n"
        << "usage: horatone say [--root DIR] [--at HH:MM] [--rate HZ] [--channels 1|2] "
           "FILE.wav|-\n";
    return 2;
  };
  LocalTime at = SystemClock().Now();
  int rate = 48000;
  int channels = 2;
  std::string target;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    if (arg == "--at" && has_value) {
      const std::string text = args[++i];
      const bool shaped = text.size() == 5 && text[2] == ':';
      const Result<int> hour = ParseNumber(shaped ? text.substr(0, 2) : "", 0, 23);
      const Result<int> minute = ParseNumber(shaped ? text.substr(3, 2) : "", 0, 59);
      if (!hour || !minute) return usage("--at needs HH:MM, for example 14:05");
      at.hour = *hour;
      at.minute = *minute;
      at.second = 0;
      at.millisecond = 0;
    } else if (arg == "--rate" && has_value) {
      const Result<int> number = ParseNumber(args[++i], 8000, 192000);
      if (!number) return usage("--rate needs 8000 to 192000");
      rate = *number;
    } else if (arg == "--channels" && has_value) {
      const Result<int> number = ParseNumber(args[++i], 1, 2);
      if (!number) return usage("--channels needs 1 or 2");
      channels = *number;
    } else if (target.empty() && (arg == "-" || arg.rfind("--", 0) != 0)) {
      target = arg;
    } else {
      return usage("unexpected '" + arg + "'");
    }
  }
  if (target.empty()) return usage("name the WAV file to write, or - for standard output");

  std::vector<std::string> problems;
  Result<std::vector<float>> rendered = RenderAnnouncement(root, at, rate, &problems);
  for (const std::string& problem : problems) err << "horatone say: " << problem << "\n";
  if (!rendered) {
    err << "horatone say: " << rendered.message() << "\n";
    return 1;
  }
  const std::vector<float>& sound = *rendered;
  std::vector<float> mono;
  if (channels == 1) {
    mono.reserve(sound.size() / 2);
    for (std::size_t f = 0; f + 1 < sound.size(); f += 2) {
      mono.push_back(0.5f * (sound[f] + sound[f + 1]));
    }
  }
  const Result<std::string> wav = WavBytes(channels == 1 ? mono : sound, rate, channels);
  const Status written = wav ? WriteBytes(target, *wav) : wav.status();
  if (!written) {
    err << "horatone say: " << written.message << "\n";
    return 1;
  }
  if (target != "-") {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(sound.size() / 2) / rate);
    out << target << ": " << seconds << " s at " << rate << " Hz, " << channels
        << (channels == 1 ? " channel\n" : " channels\n");
  }
  return 0;
}

}  // namespace horatone
