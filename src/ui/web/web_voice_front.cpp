// The clock's side of the page's voice tools; see web_voice_front.h.
#include "ui/web/web_voice_front.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "runtime/path_mapper.h"
#include "runtime/posix_loop.h"
#include "runtime/system_clock.h"
#include "shell/form1.h"
#include "shell/json_quote.h"
#include "shell/parse_number.h"
#include "sound/clip_decoder.h"
#include "sound/voice_check.h"
#include "ui/web/rendered_announcement.h"
#include "ui/web/voice_files.h"

extern char** environ;

namespace horatone {
namespace {

using namespace std::chrono_literals;

constexpr int kListenRate = 48000;
constexpr std::size_t kKeptLines = 200;

WebVoiceAnswer Json(int status, const std::string& message) {
  return {status, "{\"message\":" + JsonQuote(message) + "}"};
}

WebVoiceAnswer Refusal(const Status& status) {
  return Json(status.kind == StatusKind::kBadInput      ? 422
              : status.kind == StatusKind::kUnavailable ? 503
                                                        : 500,
              status.message);
}

struct VoiceFolder {
  std::string folder;
  std::string format;
};

// A voice's folder and format as the window holds them now, read on the loop.
Result<VoiceFolder> ReadVoice(PosixLoop& loop, Form1& form, const std::string& voice) {
  std::optional<int> slot;
  if (voice != "active") {
    const Result<int> number = ParseNumber(voice, 1, static_cast<int>(form.voice_slots().size()));
    if (!number) return Status::BadInput("voice: \"" + voice + "\" is not \"active\" or 1 to 5");
    slot = *number - 1;
  }
  auto promise = std::make_shared<std::promise<VoiceFolder>>();
  std::future<VoiceFolder> answer = promise->get_future();
  loop.Post([promise, &form, slot] {
    VoiceFolder found;
    if (slot) {
      const VoiceSlot& s = form.voice_slots()[static_cast<std::size_t>(*slot)];
      found = {s.folder->text(), s.wav->value() ? "wav" : "mp3"};
    } else {
      found = {form.FileLocation.text(), form.OptionWAV.value() ? "wav" : "mp3"};
    }
    promise->set_value(found);
  });
  if (answer.wait_for(3s) != std::future_status::ready) {
    return Status::Unavailable("the clock did not answer");
  }
  VoiceFolder found = answer.get();
  if (found.folder.empty()) return Status::BadInput("voice: voice " + voice + " has no folder");
  return found;
}

// One run of the voice generator at a time, through `horatone make-voice` in a child process
// of its own group, its output kept for the page.
class VoiceMaker {
 public:
  VoiceMaker(std::filesystem::path root, std::shared_ptr<std::atomic<unsigned>> changes)
      : root_(std::move(root)), changes_(std::move(changes)) {}
  // A run still going is stopped with its whole group: asked first, then made to.
  ~VoiceMaker() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (running_) {
      ::kill(-pid_, SIGTERM);
      if (!ended_.wait_for(lock, 3s, [this] { return !running_; })) ::kill(-pid_, SIGKILL);
    }
    lock.unlock();
    if (reader_.joinable()) reader_.join();
  }

  WebVoiceAnswer Start(const std::string& folder, const std::string& language,
                       const std::string& format, const std::string& engine,
                       const std::string& clips) {
    const PathMapper mapper(root_);
    const Result<std::filesystem::path> place = VoiceFolderInRoot(folder, mapper, false);
    if (!place) return Refusal(place.status());
    if (language.empty() || language.size() > 16 ||
        language.find_first_not_of("abcdefghijklmnopqrstuvwxyz_-") != std::string::npos ||
        !std::filesystem::exists(FindVoiceGenerator().parent_path() / "phrases" /
                                 (language + ".txt"))) {
      return Json(422, "language: \"" + language +
                           "\" has no phrase table (have: " + Languages(false) + ")");
    }
    if (format != "wav" && format != "mp3" && format != "both") {
      return Json(422, "format: \"" + format + "\" is not wav, mp3 or both");
    }
    if (engine.size() > 64 ||
        engine.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_+:.-") !=
            std::string::npos) {
      return Json(422, "engine: \"" + engine + "\" is not an engine's name");
    }
    for (std::size_t at = 0; at < clips.size();) {
      const std::size_t space = std::min(clips.find(' ', at), clips.size());
      const std::string name = clips.substr(at, space - at);
      if (!name.empty() && !IsClipName(name)) {
        return Json(422, "clips: \"" + name + "\" is not one of a voice's clip names");
      }
      at = space + 1;
    }
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return Json(500, "cannot find the program itself: " + error.message());
    std::vector<std::string> argv = {self.string(),  "make-voice", "--root",
                                     root_.string(), folder,       "--language",
                                     language,       "--format",   format};
    if (!engine.empty()) argv.insert(argv.end(), {"--engine", engine});
    if (clips.find_first_not_of(' ') != std::string::npos)
      argv.insert(argv.end(), {"--clips", clips});

    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return Json(409, "a voice is being made already (" + folder_ + "); wait for it");
    if (reader_.joinable()) reader_.join();  // the last run has ended: its reader is done
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return Json(500, std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<char*> words;
    for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    const int spawned =
        ::posix_spawn(&pid_, words[0], &actions, &attributes, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipe[1]);
    if (spawned != 0) {
      ::close(pipe[0]);
      return Json(500, std::string("cannot start the voice generator: ") + std::strerror(spawned));
    }
    running_ = true;
    folder_ = folder;
    lines_.clear();
    lines_.push_back("making " + folder + " (" + language + ", " + format +
                     (engine.empty() ? "" : ", " + engine) + ") in " + place->string());
    percent_ = 0;
    result_.clear();
    reader_ = std::thread([this, fd = pipe[0]] { Read(fd); });
    return Json(202, "making " + folder);
  }

  std::string Progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out = "{\"running\":" + std::string(running_ ? "true" : "false") +
                      ",\"folder\":" + JsonQuote(folder_) +
                      ",\"percent\":" + std::to_string(percent_) +
                      ",\"result\":" + JsonQuote(result_) + ",\"languages\":[" + Languages(true) +
                      "],\"lines\":[";
    for (std::size_t i = 0; i < lines_.size(); ++i) out += (i ? "," : "") + JsonQuote(lines_[i]);
    return out + "]}";
  }

 private:
  static std::string Languages(bool quoted) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(
             FindVoiceGenerator().parent_path() / "phrases", error)) {
      if (entry.path().extension() == ".txt") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& name : names) {
      out += (out.empty() ? "" : quoted ? "," : ", ") + (quoted ? JsonQuote(name) : name);
    }
    return out;
  }

  // The generator's lines as they come; "LABEL: N of M clips" gives the percentage.
  void Line(const std::string& line) {
    unsigned done = 0, total = 0;
    const std::size_t colon = line.rfind(": ");
    if (colon != std::string::npos &&
        std::sscanf(line.c_str() + colon + 2, "%u of %u clips", &done, &total) == 2 && total > 0) {
      percent_ = static_cast<int>(std::min(100u, done * 100 / total));
    }
    lines_.push_back(line);
    if (lines_.size() > kKeptLines) lines_.pop_front();
  }

  void Read(int fd) {
    std::string pending;
    char buffer[1024];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t end; (end = pending.find_first_of("\r\n")) != std::string::npos;) {
        if (end > 0) Line(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
      if (pending.size() > 4096) pending.clear();  // no line is that long
    }
    ::close(fd);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending.empty()) Line(pending);
    running_ = false;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      result_ = "made " + folder_;
      percent_ = 100;
    } else {
      result_ = "making " + folder_ + " failed" +
                (WIFEXITED(status) ? " (status " + std::to_string(WEXITSTATUS(status)) + ")"
                                   : " (stopped)");
    }
    ++*changes_;
    ended_.notify_all();
  }

  const std::filesystem::path root_;
  const std::shared_ptr<std::atomic<unsigned>> changes_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool running_ = false;
  pid_t pid_ = 0;
  std::string folder_;
  std::deque<std::string> lines_;
  int percent_ = 0;
  std::string result_;
  std::thread reader_;
};

}  // namespace

void AddWebVoiceHooks(WebVoiceHooks& hooks, const std::filesystem::path& root, PosixLoop& loop,
                      Form1& form) {
  auto changes = std::make_shared<std::atomic<unsigned>>(0);
  auto maker = std::make_shared<VoiceMaker>(root, changes);
  hooks.clip = [root, &loop, &form](const std::string& voice, const std::string& name) {
    const Result<VoiceFolder> found = ReadVoice(loop, form, voice);
    if (!found) return Refusal(found.status());
    if (!IsClipName(name)) return Json(422, "name: \"" + name + "\" is not a clip name");
    const PathMapper mapper(root);
    const Result<std::filesystem::path> folder = VoiceFolderInRoot(found->folder, mapper, true);
    if (!folder) return Refusal(folder.status());
    const std::filesystem::path file =
        mapper.Map(WithSeparator(found->folder) + name + "." + found->format);
    if (!std::filesystem::exists(file)) {
      return Json(404, "name: " + file.filename().string() + " is not in " + folder->string());
    }
    const ClipResult clip = DecodeClipFile(file);
    if (!clip) return Json(422, clip.message());
    Result<std::string> wav = WavBytes((*clip)->samples, (*clip)->sample_rate, (*clip)->channels);
    if (!wav) return Json(500, wav.message());
    return WebVoiceAnswer{200, std::move(*wav), "audio/wav"};
  };
  hooks.say = [root](const std::string& at) {
    LocalTime when = SystemClock().Now();
    if (!at.empty()) {
      const bool shaped = at.size() == 5 && at[2] == ':';
      const Result<int> hour = ParseNumber(shaped ? at.substr(0, 2) : "", 0, 23);
      const Result<int> minute = ParseNumber(shaped ? at.substr(3, 2) : "", 0, 59);
      if (!hour || !minute) return Json(422, "at: \"" + at + "\" is not HH:MM");
      when.hour = *hour;
      when.minute = *minute;
    }
    std::vector<std::string> problems;
    Result<std::vector<float>> sound = RenderAnnouncement(root, when, kListenRate, &problems);
    if (!sound) {
      std::string why = sound.message();
      for (const std::string& problem : problems) why += "; " + problem;
      return Json(422, why);
    }
    Result<std::string> wav = WavBytes(*sound, kListenRate, 2);
    if (!wav) return Json(500, wav.message());
    return WebVoiceAnswer{200, std::move(*wav), "audio/wav"};
  };
  hooks.put = [root, &loop, &form, changes](const std::string& voice, const std::string& name,
                                            bool recording, const std::string& bytes) {
    const Result<VoiceFolder> found = ReadVoice(loop, form, voice);
    if (!found) return Refusal(found.status());
    const Result<std::string> done = PutClipInVoice(
        ClipOffer{found->folder, found->format, name, bytes, recording}, PathMapper(root));
    if (!done) return Refusal(done.status());
    ++*changes;
    return Json(200, *done);
  };
  hooks.make = [maker](const std::string& folder, const std::string& language,
                       const std::string& format, const std::string& engine,
                       const std::string& clips) {
    return maker->Start(folder, language, format, engine, clips);
  };
  hooks.make_progress = [maker] { return maker->Progress(); };
  hooks.changes = [changes] { return changes->load(); };
  // The longest clip as 32-bit float stereo at the highest common rate, and room for headers.
  hooks.longest_clip_file =
      static_cast<std::size_t>(kLongestVoiceClipSeconds * 96000 * 2 * 4) + 64 * 1024;
}

}  // namespace horatone
