// The rendered announcement; see rendered_announcement.h.
#include "ui/web/rendered_announcement.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "node/simulated/simulated_node.h"
#include "runtime/console_dialogs.h"
#include "runtime/ini_profile_file.h"
#include "runtime/path_mapper.h"
#include "runtime/virtual_loop.h"
#include "shell/form1.h"
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

// A WAV file built in memory: libsndfile seeks back to finish the header.
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

}  // namespace

Result<std::string> WavBytes(const std::vector<float>& samples, int rate, int channels) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  MemoryFile memory;
  SF_VIRTUAL_IO io = MemoryIo();
  SNDFILE* file = sf_open_virtual(&io, SFM_RDWR, &info, &memory);
  if (file == nullptr)
    return Status::Error(std::string("cannot make a WAV: ") + sf_strerror(nullptr));
  // The same conversion as the capture of the air.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t frames = static_cast<sf_count_t>(samples.size() / channels);
  Status written = Status::Ok();
  if (sf_writef_float(file, samples.data(), frames) != frames) {
    written = Status::Error(std::string("writing a WAV failed: ") + sf_strerror(file));
  }
  if (sf_close(file) != 0 && written) written = Status::Error("finishing a WAV failed");
  if (!written) return written;
  return std::move(memory.bytes);
}

Result<std::vector<float>> RenderAnnouncement(const std::filesystem::path& root, LocalTime at,
                                              int rate, std::vector<std::string>* problems) {
  at.second = 0;
  at.millisecond = 0;
  const auto note = [problems](const std::string& line) {
    if (problems) problems->push_back(line);
  };
  VirtualLoop loop;
  VirtualClock clock(loop, at);
  PathMapper mapper(root);
  IniProfileFile profile(mapper, std::string(texts::kSettingsFile));
  AudioEngineOptions audio;
  audio.backend = "virtual";
  audio.sample_rate = rate;
  Result<std::unique_ptr<AudioEngine>> opened = AudioEngine::Open(mapper, audio);
  if (!opened) return opened.status();
  std::unique_ptr<AudioEngine> engine = std::move(*opened);
  SimulatedNode node(loop);
  ConsoleDialogs dialogs(note);
  NoShell shell;
  NoEnd end;
  Form1 form(Form1Services{loop, clock, *engine, node, profile, dialogs, shell, end});
  form.log = [&](const std::string& line) {
    if (line.rfind("clip failed", 0) == 0) note(line);
  };
  if (!form.Load()) return Status::Error("the settings could not be loaded");

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
  // From the first sound to the last.
  std::size_t first = 0, last = air.size();
  while (first < air.size() && air[first] == 0.0f) ++first;
  while (last > first && air[last - 1] == 0.0f) --last;
  first -= first % 2;
  last += last % 2;
  if (first >= last) return Status::Error("the announcement made no sound");
  return std::vector<float>(air.begin() + static_cast<std::ptrdiff_t>(first),
                            air.begin() + static_cast<std::ptrdiff_t>(last));
}

}  // namespace horatone
