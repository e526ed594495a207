// Changes to voice folders; see voice_files.h.
#include "ui/web/voice_files.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "announce/clip_names.h"
#include "shell/write_all.h"
#include "sound/clip_decoder.h"
#include "sound/voice_check.h"

extern char** environ;

namespace horatone {
namespace {

bool InsideOf(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (o->empty() && std::next(o) == outer.end()) break;  // a trailing separator
    if (i == inner.end() || *i != *o) return false;
  }
  return i != inner.end() && !i->empty();
}

bool IsWavBytes(const std::string& bytes) {
  return bytes.size() >= 12 &&
         (bytes.compare(0, 4, "RIFF") == 0 || bytes.compare(0, 4, "RF64") == 0) &&
         bytes.compare(8, 4, "WAVE") == 0;
}

std::string OneDecimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// Writes `bytes` to a new file of its own in `folder`, named after `stem` and ending in `suffix`,
// private until it is put in place.
Result<std::filesystem::path> WriteTemporary(const std::filesystem::path& folder,
                                             const std::string& stem, const std::string& suffix,
                                             const std::string& bytes) {
  std::string pattern = (folder / ("." + stem + "-XXXXXX" + suffix)).string();
  const int fd = ::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) {
    return Status::Error("cannot write in " + folder.string() + ": " + std::strerror(errno));
  }
  const bool good = WriteAllAndSync(fd, bytes);
  const int error = errno;
  ::close(fd);
  if (!good) {
    ::unlink(pattern.c_str());
    return Status::Error("cannot write " + pattern + ": " + std::strerror(error));
  }
  return std::filesystem::path(pattern);
}

// Removes a temporary file when it goes out of scope, unless it was put in place.
struct Scratch {
  std::filesystem::path path;
  ~Scratch() {
    if (!path.empty()) ::unlink(path.c_str());
  }
};

// The loudness the voice's clips have: the median RMS of its sounding clips, the one put in
// left out; nothing for a voice with no such clip.
std::string VoiceLoudness(const ClipOffer& offer, const PathMapper& mapper) {
  const VoiceCheckResult voice = CheckVoiceFolder(offer.folder, offer.format, mapper);
  std::vector<double> loudness;
  for (const ClipLevels& clip : voice.clips) {
    if (clip.file_name == offer.name + "." + offer.format) continue;
    if (clip.file_name.starts_with(std::string(clips::kBlank) + ".")) continue;
    if (clip.file_name.starts_with(std::string(clips::kBell1))) continue;  // both bells
    if (std::isfinite(clip.rms_db)) loudness.push_back(clip.rms_db);
  }
  if (loudness.empty()) return "";
  std::nth_element(loudness.begin(), loudness.begin() + loudness.size() / 2, loudness.end());
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", loudness[loudness.size() / 2]);
  return text;
}

// The clip decoder's verdict on a file offered for a voice, with the field named.
Status CheckOffered(const std::filesystem::path& file, const std::string& field, bool recording) {
  const ClipResult clip = DecodeClipFile(file);
  if (!clip) {
    // The decoder names the temporary file; the operator knows it as what they sent.
    std::string why = clip.message();
    const std::size_t colon = why.find(file.string() + ": ");
    if (colon != std::string::npos) why = why.substr(colon + file.string().size() + 2);
    return Status::BadInput(field + ": not a clip that can be played (" + why + ")");
  }
  if ((*clip)->Duration() > kLongestVoiceClipSeconds) {
    return Status::BadInput(field + ": the clip is " + OneDecimal((*clip)->Duration()) +
                            " s long, more than a voice's clip (" +
                            OneDecimal(kLongestVoiceClipSeconds) + " s at most)");
  }
  const ClipLevels levels = MeasureClip(file.filename().string(), **clip);
  if (recording && (!std::isfinite(levels.rms_db) || levels.peak_db < kSilenceDb)) {
    return Status::BadInput(field + ": it is silent (nothing louder than " +
                            OneDecimal(kSilenceDb) + " dBFS was heard)");
  }
  return Status::Ok();
}

}  // namespace

std::filesystem::path FindVoiceGenerator() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const auto installed =
        self.parent_path().parent_path() / "share" / "horatone" / "tools" / "make-voices";
    if (::access(installed.c_str(), X_OK) == 0) return installed;
  }
  return std::filesystem::path(HORATONE_TOOLS_DIR) / "make-voices";
}

Result<std::filesystem::path> VoiceFolderInRoot(const std::string& folder, const PathMapper& mapper,
                                                bool must_exist) {
  if (folder.empty()) return Status::BadInput("folder: no folder is given");
  std::string parts = folder;
  std::replace(parts.begin(), parts.end(), '\\', '/');
  for (const auto& part : std::filesystem::path(parts)) {
    if (part == "..") return Status::BadInput("folder: " + folder + " may not contain \"..\"");
  }
  std::error_code error;
  const std::filesystem::path root = std::filesystem::weakly_canonical(mapper.system_dir(), error);
  if (error) return Status::Error("cannot find the system directory: " + error.message());
  std::filesystem::path place =
      std::filesystem::weakly_canonical(mapper.Map(WithSeparator(folder)), error);
  if (error) return Status::BadInput("folder: " + folder + ": " + error.message());
  if (!place.has_filename()) place = place.parent_path();
  if (!InsideOf(place, root)) {
    return Status::BadInput("folder: " + folder + " is outside the system directory " +
                            root.string() + "; voices are kept in its drive folders");
  }
  if (must_exist && !std::filesystem::is_directory(place, error)) {
    return Status::BadInput("folder: " + folder + " is not a folder (" + place.string() + ")");
  }
  return place;
}

std::string WithSeparator(const std::string& folder) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder;
  return folder + (folder.front() == '/' ? '/' : '\\');
}

bool IsClipName(const std::string& name) {
  return std::find(clips::kAll.begin(), clips::kAll.end(), name) != clips::kAll.end();
}

std::filesystem::path ClipBackupOf(const std::filesystem::path& clip) {
  return clip.string() + ".bak";
}

Result<std::string> PutClipInVoice(const ClipOffer& offer, const PathMapper& mapper) {
  if (offer.format != "wav" && offer.format != "mp3") {
    return Status::BadInput("voice: its format is neither wav nor mp3");
  }
  Result<std::filesystem::path> folder = VoiceFolderInRoot(offer.folder, mapper, true);
  if (!folder) return Status::BadInput("voice: " + folder.message());
  if (!IsClipName(offer.name)) {
    return Status::BadInput("name: \"" + offer.name + "\" is not one of a voice's clip names");
  }
  const std::string field = offer.recording ? "recording" : "file";
  if (offer.bytes.empty()) return Status::BadInput(field + ": nothing was sent");
  // The clip as the clock finds it (a name in another letter case is the same clip).
  const std::filesystem::path clip =
      mapper.Map(WithSeparator(offer.folder) + offer.name + "." + offer.format);
  const std::filesystem::path target = *folder / clip.filename();
  struct stat old {};
  const bool replacing = ::lstat(target.c_str(), &old) == 0;
  if (replacing && !S_ISREG(old.st_mode)) {
    return Status::BadInput("name: " + target.string() +
                            " is not a plain file; replace it by hand");
  }

  Result<std::filesystem::path> sent =
      WriteTemporary(*folder, "horatone-sent", "." + offer.format, offer.bytes);
  if (!sent) return sent.status();
  Scratch sent_scratch{*sent};
  if (Status checked = CheckOffered(*sent, field, offer.recording); !checked) return checked;
  if (!offer.recording && IsWavBytes(offer.bytes) != (offer.format == "wav")) {
    const char* kind = offer.format == "wav" ? "WAV" : "MP3";
    return Status::BadInput(field + ": this voice's clips are " + kind + " files; send a " + kind +
                            " file");
  }
  if (offer.recording && !IsWavBytes(offer.bytes)) {
    return Status::BadInput(field + ": a recording is sent as a WAV file");
  }

  Scratch prepared_scratch;
  std::filesystem::path ready = *sent;
  if (offer.recording) {
    // Trimmed and levelled as the generator makes its voices, into the voice's format.
    prepared_scratch.path = sent->string() + ".ready." + offer.format;
    std::vector<std::string> argv = {FindVoiceGenerator().string(), "--clip", sent->string(),
                                     prepared_scratch.path.string()};
    if (const std::string loudness = VoiceLoudness(offer, mapper); !loudness.empty()) {
      argv.insert(argv.end(), {"--loudness", loudness});
    }
    if (Result<std::string> ran = RunToEnd(argv); !ran) {
      return Status::Error("recording: the voice generator could not prepare it: " + ran.message());
    }
    if (Status checked = CheckOffered(prepared_scratch.path, field, true); !checked) {
      return checked;
    }
    ready = prepared_scratch.path;
  }

  struct stat folder_info {};
  if (::stat(folder->c_str(), &folder_info) != 0) {
    return Status::Error("cannot read " + folder->string() + ": " + std::strerror(errno));
  }
  const uid_t owner = replacing ? old.st_uid : folder_info.st_uid;
  const gid_t group = replacing ? old.st_gid : folder_info.st_gid;
  const mode_t mode = replacing ? (old.st_mode & 07777) : (folder_info.st_mode & 0666);
  // Another user's folder: only root may give a file away; the group is kept where allowed.
  if (::chown(ready.c_str(), ::geteuid() == 0 ? owner : static_cast<uid_t>(-1), group) != 0 &&
      ::geteuid() == 0) {
    return Status::Error("cannot give " + target.string() + " its owner: " + std::strerror(errno));
  }
  if (::chmod(ready.c_str(), mode) != 0) {
    return Status::Error("cannot set the mode of " + target.string() + ": " + std::strerror(errno));
  }
  const std::filesystem::path backup = ClipBackupOf(target);
  if (replacing) {
    // The old clip stays as it is under its backup name; then the new one takes its place in
    // one step, so that the clock reads one or the other, never half of one.
    const std::string linking = backup.string() + ".new";
    ::unlink(linking.c_str());
    if (::link(target.c_str(), linking.c_str()) != 0 ||
        ::rename(linking.c_str(), backup.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      ::unlink(linking.c_str());
      return Status::Error("cannot keep the old clip as " + backup.string() + ": " + why);
    }
  }
  if (::rename(ready.c_str(), target.c_str()) != 0) {
    return Status::Error("cannot put " + target.string() + " in place: " + std::strerror(errno));
  }
  if (ready == *sent)
    sent_scratch.path.clear();
  else
    prepared_scratch.path.clear();
  return target.filename().string() + (offer.recording ? " recorded" : " put") + " in " +
         folder->string() +
         (replacing ? "; the old one is kept as " + backup.filename().string() : "");
}

Result<std::string> RunToEnd(const std::vector<std::string>& argv) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return Status::Error(std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
  std::vector<char*> words;
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, words[0], &actions, nullptr, words.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (spawned != 0) {
    ::close(pipe[0]);
    return Status::Error("cannot run " + argv[0] + ": " + std::strerror(spawned));
  }
  std::string output;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output.size() < (1 << 16)) output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return output;
  return Status::Error(output.empty() ? argv[0] + " failed" : output);
}

}  // namespace horatone
