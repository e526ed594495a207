// `horatone svxlink-setup`; see svxlink_setup_command.h. Every file is replaced whole through
// a temporary file beside it and a rename, so that SvxLink never reads half a file, and the
// configuration keeps its mode and owner.
#include "svxlink_setup_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "node/svxlink/svx_config.h"
#include "node/svxlink/svx_setup.h"
#include "shell/status.h"

namespace horatone {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: horatone svxlink-setup [--config FILE] [--check] [--handler FILE] [--systemd DIR]\n"
    "         [--logic NAME] [--user NAME] [--svx-audio HOST:PORT] [--svx-squelch PTY]\n"
    "         [--svx-dtmf PTY] [--svx-events FIFO]";
constexpr const char* kHandlerName = "horatone.tcl";
constexpr const char* kDropInName = "horatone.service.d/svxlink.conf";
// The most of a configuration file the command reads: SvxLink's are a few tens of kB.
constexpr std::uintmax_t kLargestConfig = 4 * 1024 * 1024;

Result<std::string> ReadFile(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) return Status::NotFound(path.string() + ": " + error.message());
  if (size > kLargestConfig)
    return Status::BadInput(path.string() + " is too large to be SvxLink's");
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) return Status::Error(path.string() + ": cannot be read");
  return text.str();
}

// `text` into `path` through a temporary file beside it; the mode (and, where allowed, the
// owner) of `like` when it exists.
Status WriteWhole(const fs::path& path, const std::string& text, const fs::path& like) {
  const fs::path temporary = path.string() + ".horatone-new";
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return Status::Error(temporary.string() + ": " + std::strerror(errno));
  struct stat info {};
  if (stat(like.c_str(), &info) == 0) {
    fchmod(fd, info.st_mode & 07777);
    if (fchown(fd, info.st_uid, info.st_gid) != 0) {
      // Not the owner's to give away: the file stays the writer's, which SvxLink can read.
    }
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      const std::string why = std::strerror(errno);
      close(fd);
      unlink(temporary.c_str());
      return Status::Error(temporary.string() + ": " + why);
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    unlink(temporary.c_str());
    return Status::Error(temporary.string() + ": " + std::strerror(errno));
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    unlink(temporary.c_str());
    return Status::Error(path.string() + ": " + why);
  }
  return Status::Ok();
}

// A copy of `path` beside it, named after the moment, never over an earlier one.
Result<fs::path> BackUp(const fs::path& path) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  fs::path backup = path.string() + ".horatone-backup-" + stamp;
  for (int n = 2; fs::exists(fs::symlink_status(backup)); ++n)
    backup = path.string() + ".horatone-backup-" + stamp + "-" + std::to_string(n);
  Result<std::string> text = ReadFile(path);
  if (!text) return text.status();
  if (Status written = WriteWhole(backup, *text, path); !written) return written;
  return backup;
}

// What is at `installed` instead of a link to `handler` (or a copy of it); empty if all is well.
std::string HandlerProblem(const fs::path& installed, const fs::path& handler) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(installed, error);
  if (!fs::exists(status)) return "is missing";
  if (fs::is_symlink(status)) {
    const fs::path target = fs::read_symlink(installed, error);
    if (!error && target == handler) return "";
    return "links to " + target.string() + ", not " + handler.string();
  }
  const Result<std::string> have = ReadFile(installed);
  const Result<std::string> want = ReadFile(handler);
  if (have && want && *have == *want) return "";
  return "is not a link to " + handler.string();
}

Status InstallHandler(const fs::path& installed, const fs::path& handler) {
  std::error_code error;
  fs::create_directories(installed.parent_path(), error);
  if (error) return Status::Error(installed.parent_path().string() + ": " + error.message());
  const fs::path temporary = installed.string() + ".horatone-new";
  fs::remove(temporary, error);
  fs::create_symlink(handler, temporary, error);
  if (!error) fs::rename(temporary, installed, error);
  if (error) {
    fs::remove(temporary);
    return Status::Error(installed.string() + ": " + error.message());
  }
  return Status::Ok();
}

// What stands between this SvxLink and EchoLink stations, which the set-up cannot mend: the
// module not loaded in the logic, or its account still SvxLink's placeholder (SvxLink then
// refuses to load it). Read from the file and the files of its CFG_DIR, later ones winning.
std::vector<std::string> EchoLinkNotes(const SvxConfigFile& file, const fs::path& config,
                                       const SvxSetupOptions& options) {
  std::vector<std::string> notes;
  const std::vector<std::string> modules =
      SplitSvxList(file.Get(options.logic, "MODULES").value_or(""));
  if (std::find(modules.begin(), modules.end(), "ModuleEchoLink") == modules.end()) {
    notes.push_back("[" + options.logic +
                    "] MODULES has no ModuleEchoLink: no EchoLink station can connect");
    return notes;
  }
  std::optional<std::string> callsign = file.Get("ModuleEchoLink", "CALLSIGN");
  std::optional<std::string> password = file.Get("ModuleEchoLink", "PASSWORD");
  if (const std::optional<std::string> dir = file.Get("GLOBAL", "CFG_DIR")) {
    const fs::path folder =
        fs::path(*dir).is_absolute() ? fs::path(*dir) : config.parent_path() / *dir;
    std::error_code error;
    std::vector<fs::path> parts;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      if (entry.path().extension() == ".conf") parts.push_back(entry.path());
    }
    std::sort(parts.begin(), parts.end());
    for (const fs::path& part : parts) {
      const Result<std::string> text = ReadFile(part);
      if (!text) continue;
      const Result<SvxConfigFile> more = SvxConfigFile::Parse(*text, part.string());
      if (!more) continue;
      if (auto value = more->Get("ModuleEchoLink", "CALLSIGN")) callsign = value;
      if (auto value = more->Get("ModuleEchoLink", "PASSWORD")) password = value;
    }
  }
  if (!callsign || *callsign == "MYCALL-L" || !password || *password == "MyPass") {
    notes.push_back(
        "the EchoLink module has no account of its own yet (CALLSIGN and PASSWORD in "
        "[ModuleEchoLink]): SvxLink does not load it until it has");
  }
  return notes;
}

std::string Described(const SvxChange& change) {
  return "[" + change.section + "] " + change.key + " " +
         (change.had ? "is \"" + *change.had + "\"" : std::string("is not set")) + ", wants \"" +
         change.want + "\"";
}

}  // namespace

int SvxLinkSetupCommand(const std::vector<std::string>& args, const std::string& root,
                        std::ostream& out, std::ostream& err) {
  SvxSetupOptions options;
  options.root = fs::absolute(root).lexically_normal().string();
  fs::path config = "/etc/svxlink/svxlink.conf";
  fs::path handler = HORATONE_SHARE_DIR "/svxlink/horatone.tcl";
  fs::path systemd = "/etc/systemd/system";
  bool check = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--check") {
      check = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      err << "horatone: " << arg << (arg.rfind("--", 0) == 0 ? " needs a value" : "?") << "\n"
          << kUsage << "\n";
      return 2;
    }
    const std::string& value = args[++i];
    if (arg == "--config") {
      config = value;
    } else if (arg == "--handler") {
      handler = fs::absolute(value).lexically_normal();
    } else if (arg == "--systemd") {
      systemd = value;
    } else if (arg == "--logic") {
      options.logic = value;
    } else if (arg == "--user") {
      options.user = value;
    } else if (arg == "--svx-audio") {
      options.audio = value;
    } else if (arg == "--svx-squelch") {
      options.squelch_pty = value;
    } else if (arg == "--svx-dtmf") {
      options.dtmf_pty = value;
    } else if (arg == "--svx-events") {
      options.events = value;
    } else {
      err << "horatone: unknown option '" << arg << "'\n" << kUsage << "\n";
      return 2;
    }
  }

  const Result<std::string> text = ReadFile(config);
  if (!text) {
    err << "horatone: cannot read SvxLink's configuration: " << text.message() << "\n";
    return 1;
  }
  Result<SvxConfigFile> file = SvxConfigFile::Parse(*text, config.string());
  if (!file) {
    err << "horatone: not changing a file SvxLink's syntax does not allow: " << file.message()
        << "\n";
    return 1;
  }
  const Result<std::vector<SvxChange>> changes = SvxSetupChanges(*file, options);
  if (!changes) {
    err << "horatone: " << config.string() << ": " << changes.message() << "\n";
    return 1;
  }
  if (!fs::exists(handler)) {
    err << "horatone: the Tcl handler " << handler.string()
        << " is not there (--handler FILE names it)\n";
    return 1;
  }
  const fs::path installed = fs::path(SvxLocalEventsFolder(*file, options)) / kHandlerName;
  const std::string handler_problem = HandlerProblem(installed, handler);
  const fs::path drop_in = systemd / kDropInName;
  const std::string drop_in_text = SvxServiceDropIn(*file, options);
  const Result<std::string> drop_in_had = ReadFile(drop_in);
  const bool drop_in_ok = drop_in_had && *drop_in_had == drop_in_text;

  for (const std::string& note : EchoLinkNotes(*file, config, options))
    out << "note: " << note << "\n";
  if (check) {
    for (const SvxChange& change : *changes)
      out << config.string() << ": " << Described(change) << "\n";
    if (!handler_problem.empty()) out << installed.string() << " " << handler_problem << "\n";
    if (!drop_in_ok)
      out << drop_in.string()
          << (drop_in_had ? " differs from what the clock needs" : " is missing") << "\n";
    const bool complete = changes->empty() && handler_problem.empty() && drop_in_ok;
    if (complete) out << "nothing missing\n";
    return complete ? 0 : 1;
  }

  if (!changes->empty()) {
    // A configuration that is a link is changed where it lives; the link stays.
    std::error_code error;
    fs::path real = fs::canonical(config, error);
    if (error) real = config;
    const Result<fs::path> backup = BackUp(real);
    if (!backup) {
      err << "horatone: no backup, so nothing changed: " << backup.message() << "\n";
      return 1;
    }
    ApplySvxChanges(&*file, *changes);
    if (Status written = WriteWhole(real, file->Text(), real); !written) {
      err << "horatone: " << written.message << "\n";
      return 1;
    }
    out << "backup: " << backup->string() << "\n";
    for (const SvxChange& change : *changes)
      out << config.string() << ": [" << change.section << "] " << change.key << "=" << change.want
          << "\n";
  }
  if (!handler_problem.empty()) {
    if (Status linked = InstallHandler(installed, handler); !linked) {
      err << "horatone: the Tcl handler: " << linked.message << "\n";
      return 1;
    }
    out << installed.string() << " -> " << handler.string() << "\n";
  }
  if (!drop_in_ok) {
    std::error_code error;
    fs::create_directories(drop_in.parent_path(), error);
    const Status written =
        error ? Status::Error(drop_in.parent_path().string() + ": " + error.message())
              : WriteWhole(drop_in, drop_in_text, drop_in);
    if (!written) {
      err << "horatone: the service drop-in: " << written.message << "\n";
      return 1;
    }
    out << drop_in.string() << " written\n";
  }
  if (changes->empty() && handler_problem.empty() && drop_in_ok) {
    out << "nothing to do: SvxLink has what the clock needs\n";
  } else {
    out << "now: systemctl daemon-reload && systemctl restart svxlink horatone\n";
  }
  return 0;
}

}  // namespace horatone
