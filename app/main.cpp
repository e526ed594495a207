// main(): picks the front end — the window, the headless clock, or one of the commands
// (config, check-voice, make-voice) — from the command line, and wires the platform to the
// model.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "config_command.h"
#include "headless.h"
#include "make_voice_command.h"
#include "platform/audio/voice_check.h"
#include "platform/path_mapper.h"
#include "platform/rig/rig_settings.h"
#include "platform/system_clock.h"
#include "shell/version.h"
#ifdef HORATONE_WITH_WINDOW
#include "desktop.h"
#endif

namespace {

constexpr const char* kHelp = R"(Horatone, the talking clock for an amateur-radio node.

usage:
  horatone [OPTIONS]                 the clock with its window (headless without a display)
  horatone --headless [OPTIONS]      the clock without a window, for a service
  horatone config [--root DIR] show | save | get KEY | set KEY VALUE | unset KEY
  horatone check-voice [--root DIR] FOLDER [wav|mp3]
  horatone make-voice [--root DIR] FOLDER --language LANG [--engine ENGINE] [--format wav|mp3]
  horatone --help | --version

options:
  --root DIR           system directory: Horatone.ini and the drive trees (default )" HORATONE_SYSTEM_DIR R"()
  --node NODE          sim (the simulated node, default), stdio, listen:PORT (127.0.0.1),
                       or rig (a radio through Hamlib, no node program)
  --audio NAME         pulse, alsa or null (default: the first that works)
  --capture FILE.wav   also write everything sent on air to FILE.wav
  --start-at TIME      the clock starts at "YYYY-MM-DD HH:MM:SS" and runs on from there

the radio, with --node rig (also in section [RIG] of Horatone.ini; the command line wins):
)";

#ifndef HORATONE_WITH_WINDOW
// Replaces this process with horatone-window from the same folder; returns only on failure.
void ExecWindow(char** argv) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return;
  const std::string window = (self.parent_path() / "horatone-window").string();
  argv[0] = const_cast<char*>(window.c_str());
  execv(window.c_str(), argv);
}
#endif

int Usage(const std::string& problem) {
  std::cerr << "horatone: " << problem << "\n" << "Try 'horatone --help'.\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace horatone;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string command;
  if (!args.empty() &&
      (args[0] == "config" || args[0] == "check-voice" || args[0] == "make-voice")) {
    command = args[0];
    args.erase(args.begin());
  }

  HeadlessOptions options;
  options.root = HORATONE_SYSTEM_DIR;
  bool headless = false;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp << RigOptionsHelp();
      return 0;
    } else if (arg == "--version") {
      std::cout << VersionReply() << "\n";
      return 0;
    } else if (arg == "--root") {
      if (!value(&text)) return Usage("--root needs a folder");
      options.root = text;
    } else if (command.empty() && arg == "--headless") {
      headless = true;
    } else if (command.empty() && arg == "--node") {
      if (!value(&options.node)) return Usage("--node needs sim, stdio, listen:PORT or rig");
    } else if (command.empty() && arg == "--audio") {
      if (!value(&options.audio)) return Usage("--audio needs a back end name");
    } else if (command.empty() && arg == "--capture") {
      if (!value(&text)) return Usage("--capture needs a file name");
      options.capture = text;
    } else if (command.empty() && arg == "--start-at") {
      if (!value(&text)) return Usage("--start-at needs \"YYYY-MM-DD HH:MM:SS\"");
      std::string error;
      options.start_at = ParseLocalDateTime(text, &error);
      if (!options.start_at) return Usage("--start-at: " + error);
    } else if (const char* rig_key = command.empty() ? RigKeyForOption(arg) : nullptr) {
      if (!value(&text)) return Usage(arg + " needs a value");
      options.rig_options[rig_key] = text;
    } else if (!command.empty()) {
      rest.push_back(arg);
    } else {
      return Usage("unknown option '" + arg + "'");
    }
  }

  if (command == "config") return ConfigCommand(rest, options.root, std::cout, std::cerr);
  if (command == "check-voice") {
    PathMapper mapper(options.root);
    return CheckVoiceCommand(rest, std::cout, std::cerr, mapper);
  }
  if (command == "make-voice") return MakeVoiceCommand(rest, PathMapper(options.root), std::cerr);
  if (options.node != "sim" && options.node != "stdio" && options.node != "rig" &&
      options.node.rfind("listen:", 0) != 0) {
    return Usage("--node takes sim, stdio, listen:PORT or rig");
  }
  if (!options.rig_options.empty() && options.node != "rig") {
    return Usage("the radio's options need --node rig");
  }
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
                       std::getenv("QT_QPA_PLATFORM");
  if (!headless && display) {
    if (options.node != "sim") {
      return Usage("the window speaks to the simulated node; use --headless for --node " +
                   options.node);
    }
#ifdef HORATONE_WITH_WINDOW
    return RunDesktop(argc, argv, options);
#else
    // The window lives in its own program, so that the headless clock never loads Qt.
    ExecWindow(argv);
    std::cerr << "horatone: the window (horatone-window) is not installed; running headless\n";
#endif
  }
  return RunHeadless(options);
}
