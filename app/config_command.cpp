#include "config_command.h"

#include <ostream>

#include "runtime/console_dialogs.h"
#include "runtime/ini_profile_file.h"
#include "node/simulated/simulated_node.h"
#include "runtime/virtual_loop.h"
#include "shell/form1.h"
#include "shell/schedule_rules.h"
#include "shell/settings_table.h"
#include "shell/texts.h"

namespace horatone {
namespace {

constexpr const char* kUsage =
    "usage: horatone config [--root DIR] show | save | get KEY | set KEY VALUE | unset KEY\n"
    "       (the schedule's keys as SCHEDULE.KEY, e.g. get SCHEDULE.QUIET)";

// "SCHEDULE.KEY" (any letter case) names a key of the schedule's section.
const ScheduleKey* ScheduleKeyOf(const std::string& name) {
  const std::string prefix = std::string(kScheduleSection) + ".";
  if (name.size() <= prefix.size()) return nullptr;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char c = name[i];
    if ((c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c) != prefix[i]) return nullptr;
  }
  return FindScheduleKey(std::string_view(name).substr(prefix.size()));
}

// The settings commands never play a clip.
class NoMedia : public MediaService {
 public:
  Result<std::shared_ptr<MediaGraph>> CreateGraph() override {
    return Status::Unavailable("no audio in the config command");
  }
};

class NoShell : public ShellOpener {
 public:
  int Open(const std::string&) override { return kShellNotReported; }
};

class NoEnd : public ProgramEnd {
 public:
  void EndNow() override {}
};

// A window model started exactly as the clock starts, without timers running.
struct StartedWindow {
  StartedWindow(ProfileStore& profile, std::ostream& err)
      : clock(loop, LocalTime{}),
        node(loop),
        dialogs([&err](const std::string& line) { err << line << "\n"; }),
        form(Form1Services{loop, clock, media, node, profile, dialogs, shell, end}) {
    form.Load();
  }
  VirtualLoop loop;
  VirtualClock clock;
  NoMedia media;
  SimulatedNode node;
  ConsoleDialogs dialogs;
  NoShell shell;
  NoEnd end;
  Form1 form;
};

}  // namespace

int ConfigCommand(const std::vector<std::string>& args, const std::filesystem::path& root,
                  std::ostream& out, std::ostream& err) {
  const auto usage = [&err] {
    err << kUsage << "\n";
    return 2;
  };
  if (args.empty()) return usage();
  const std::string& verb = args[0];
  const size_t arity = verb == "show" || verb == "save" ? 1 : verb == "get" || verb == "unset" ? 2
                       : verb == "set" ? 3 : 0;
  if (arity == 0 || args.size() != arity) return usage();

  PathMapper mapper(root);
  IniProfileFile profile(mapper, std::string(texts::kSettingsFile));
  const std::string section(texts::kSettingsSection);

  // A file that is there but cannot be read is named with the reason, never shown or
  // rewritten as if it held the defaults.
  if (const Status readable = profile.Check(); !readable) {
    err << readable.message << "\n";
    return 1;
  }
  if (verb == "show" || verb == "save") {
    StartedWindow window(profile, err);
    if (verb == "save") {
      if (!window.form.SaveData()) return 1;
      out << "saved " << profile.Describe() << "\n";
      return 0;
    }
    for (const auto& [key, value] : window.form.SettingsLines()) out << key << "=" << value << "\n";
    if (window.form.schedule_in_file()) {
      for (const auto& [key, value] : window.form.ScheduleLines()) {
        out << kScheduleSection << "." << key << "=" << value << "\n";
      }
    }
    return 0;
  }
  // The schedule's keys: read as the clock reads them, and a value it would refuse is
  // refused here, naming the key and the rule, and never written.
  if (args[1].find('.') != std::string::npos) {
    const ScheduleKey* entry = ScheduleKeyOf(args[1]);
    if (entry == nullptr) {
      err << args[1] << " is not a key of the schedule\n";
      return 2;
    }
    const std::string schedule(kScheduleSection), key(entry->key);
    if (verb == "get") {
      out << profile.GetString(schedule, key, std::string(entry->default_text)) << "\n";
      return 0;
    }
    if (verb == "set") {
      ScheduleRules rules;
      if (const Status valid = entry->apply(rules, args[2]); !valid) {
        err << schedule << "." << key << ": " << valid.message << " (" << entry->rule << ")\n";
        return 1;
      }
    }
    const Status status = verb == "set" ? profile.WriteString(schedule, key, args[2])
                                        : profile.DeleteKey(schedule, key);
    if (!status) {
      err << status.message << "\n";
      return 1;
    }
    return 0;
  }
  if (verb == "get") {
    out << profile.GetString(section, args[1], std::string(SettingDefault(args[1]))) << "\n";
    return 0;
  }
  const Status status = verb == "set" ? profile.WriteString(section, args[1], args[2])
                                      : profile.DeleteKey(section, args[1]);
  if (!status) {
    err << status.message << "\n";
    return 1;
  }
  return 0;
}

}  // namespace horatone
