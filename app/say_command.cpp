// `horatone say`; see say_command.h. The announcement is the one "Say The Time" starts, begun
// at the chosen minute; the file runs from its first sound to its last, 16-bit like the
// capture of the air, so that both carry the same samples.
#include "say_command.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "node/simulated/simulated_node.h"
#include "runtime/console_dialogs.h"
#include "runtime/ini_profile_file.h"
#include "runtime/path_mapper.h"
#include "runtime/system_clock.h"
#include "runtime/virtual_loop.h"
#include "shell/form1.h"
#include "shell/parse_number.h"
#include "shell/texts.h"
#include "sound/audio_engine.h"

namespace horatone {
namespace {

constexpr std::int64_t kLongestAnnouncementMs = 10 * 60 * 1000;

class NoShell : public ShellOpener {
 public:
  int Open(const std::string&) override { return kShellOpened; }
};

class NoEnd : public ProgramEnd {
 public:
  void EndNow() override {}
};

// A WAV file built in memory: libsndfile seeks back to finish the header, which a pipe
// cannot do, so standard output gets the finished bytes.
struct MemoryFile {
  std::string bytes;
  sf_count_t at = 0;
};

SF_VIRTUAL_IO MemoryIo() {
  SF_VIRTUAL_IO io{};
  io.get_filelen = [](void* user) {
    return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->bytes.size());
  };
  io.seek = [](sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t base = whence == SEEK_CUR   ? file->at
                            : whence == SEEK_END ? static_cast<sf_count_t>(file->bytes.size())
                                                 : 0;
    file->at = std::max<sf_count_t>(0, base + offset);
    return file->at;
  };
  io.read = [](void* ptr, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t size = static_cast<sf_count_t>(file->bytes.size());
    const sf_count_t n = std::max<sf_count_t>(0, std::min(count, size - file->at));
    std::memcpy(ptr, file->bytes.data() + file->at, static_cast<std::size_t>(n));
    file->at += n;
    return n;
  };
  io.write = [](const void* ptr, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    const auto end = static_cast<std::size_t>(file->at + count);
    if (file->bytes.size() < end) file->bytes.resize(end);
    std::memcpy(file->bytes.data() + file->at, ptr, static_cast<std::size_t>(count));
    file->at += count;
    return count;
  };
  io.tell = [](void* user) { return static_cast<MemoryFile*>(user)->at; };
  return io;
}

// Writes the sound as 16-bit WAV to `target`, a path or "-" for standard output.
Status WriteWav(const std::string& target, const std::vector<float>& stereo, int rate,
                int channels) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  MemoryFile memory;
  SF_VIRTUAL_IO io = MemoryIo();
  SNDFILE* file = target == "-" ? sf_open_virtual(&io, SFM_RDWR, &info, &memory)
                                : sf_open(target.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return Status::Error("cannot write " + target + ": " + sf_strerror(nullptr));
  // The same conversion as the capture of the air.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t frames = static_cast<sf_count_t>(stereo.size() / 2);
  std::vector<float> data;
  if (channels == 1) {
    data.reserve(static_cast<std::size_t>(frames));
    for (sf_count_t f = 0; f < frames; ++f)
      data.push_back(0.5f * (stereo[2 * f] + stereo[2 * f + 1]));
  }
  const float* samples = channels == 1 ? data.data() : stereo.data();
  Status written = Status::Ok();
  if (sf_writef_float(file, samples, frames) != frames) {
    written = Status::Error("writing " + target + " failed: " + sf_strerror(file));
  }
  if (sf_close(file) != 0 && written) written = Status::Error("closing " + target + " failed");
  if (written && target == "-") {
    for (std::size_t put = 0; put < memory.bytes.size();) {
      const ssize_t n = write(STDOUT_FILENO, memory.bytes.data() + put, memory.bytes.size() - put);
      if (n <= 0) return Status::Error("writing to standard output failed");
      put += static_cast<std::size_t>(n);
    }
  }
  return written;
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
  const auto note = [&problems](const std::string& line) { problems.push_back(line); };
  VirtualLoop loop;
  VirtualClock clock(loop, at);
  PathMapper mapper(root);
  IniProfileFile profile(mapper, std::string(texts::kSettingsFile));
  AudioEngineOptions audio;
  audio.backend = "virtual";
  audio.sample_rate = rate;
  Result<std::unique_ptr<AudioEngine>> opened = AudioEngine::Open(mapper, audio);
  if (!opened) {
    err << "horatone say: " << opened.message() << "\n";
    return 1;
  }
  std::unique_ptr<AudioEngine> engine = std::move(*opened);
  SimulatedNode node(loop);
  ConsoleDialogs dialogs(note);
  NoShell shell;
  NoEnd end;
  Form1 form(Form1Services{loop, clock, *engine, node, profile, dialogs, shell, end});
  form.log = [&](const std::string& line) {
    if (line.rfind("clip failed", 0) == 0) note(line);
  };
  if (!form.Load()) {
    err << "horatone say: the settings could not be loaded\n";
    return 1;
  }

  // Only the button speaks here: a slot that falls into the rendered second is not started.
  for (CheckBox* slot : {&form.OnHour, &form.QuarterHour, &form.HalfHour}) slot->set_value(0);
  // The clock's second tick has filled in the time texts; then the button speaks.
  loop.AdvanceBy(1000);
  form.Command29.Click();
  std::vector<float> air;
  std::int64_t pumped = 0;
  bool started = false;
  for (std::int64_t ms = 1; ms <= kLongestAnnouncementMs; ++ms) {
    loop.AdvanceBy(1);
    const std::int64_t due = ms * rate / 1000;
    engine->Pump(due - pumped, &air);
    pumped = due;
    started = started || form.Announcing != 0;
    if (started && form.Announcing == 0 && !form.Timer2.running() &&
        engine->SecondsUntilQuiet() < 0)
      break;
  }
  for (const std::string& problem : problems) err << "horatone say: " << problem << "\n";
  // From the first sound to the last.
  std::size_t first = 0, last = air.size();
  while (first < air.size() && air[first] == 0.0f) ++first;
  while (last > first && air[last - 1] == 0.0f) --last;
  first -= first % 2;
  last += last % 2;
  if (first >= last) {
    err << "horatone say: the announcement made no sound\n";
    return 1;
  }
  const std::vector<float> sound(air.begin() + static_cast<std::ptrdiff_t>(first),
                                 air.begin() + static_cast<std::ptrdiff_t>(last));
  if (const Status written = WriteWav(target, sound, rate, channels); !written) {
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
