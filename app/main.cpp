// main(): picks the front end — the window, the headless clock, or one of the commands
// (config, check-voice, make-voice) — from the command line, and wires the platform to the
// model.
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "config_command.h"
#include "headless.h"
#include "make_voice_command.h"
#include "node_table.h"
#include "node/bridge/node_key.h"
#include "node/rig/rig_settings.h"
#include "runtime/path_mapper.h"
#include "runtime/system_clock.h"
#include "say_command.h"
#include "svxlink_setup_command.h"
#include "shell/parse_number.h"
#include "shell/version.h"
#include "sound/voice_check.h"
#include "ui/web/web_front.h"
#include "ui/web/web_password.h"
#ifdef HORATONE_WITH_WINDOW
#include "desktop.h"
#endif

namespace {

constexpr const char* kHelp = R"(Horatone, the talking clock for an amateur-radio node.

usage:
  horatone [OPTIONS]                 the clock with its window (headless without a display)
  horatone --headless [OPTIONS]      the clock without a window, for a service
  horatone config [--root DIR] show | save | get KEY | set KEY VALUE | unset KEY
                                     (the schedule's keys as SCHEDULE.KEY)
  horatone check-voice [--root DIR] FOLDER [wav|mp3]
  horatone say [--root DIR] [--at HH:MM] [--rate HZ] [--channels 1|2] FILE.wav|-
                                     the announcement of that minute (now) as one WAV file
  horatone make-voice [--root DIR] FOLDER --language LANG [--engine ENGINE] [--format wav|mp3]
                      [--clips "NAME..."] [--say NAME "TEXT" | --callsign NAME CALL]
  horatone web-password [--root DIR] the web page's password, read from standard input
  horatone node-key [--root DIR]     the key a node program sends on --node listen:PORT
  horatone svxlink-setup [--config FILE] [--check]
                                     puts the clock into SvxLink (default /etc/svxlink/svxlink.conf),
                                     or with --check lists what is missing
  horatone --help | --version

options:
  --root DIR           system directory: Horatone.ini and the drive trees (default )" HORATONE_SYSTEM_DIR R"()
)";

// After the node's lines, which come from the node table.
constexpr const char* kHelpAfterNode = R"(  --audio NAME         pulse, alsa or null (default: the first that works)
  --capture FILE.wav   also write everything sent on air to FILE.wav
  --start-at TIME      the clock starts at "YYYY-MM-DD HH:MM:SS" and runs on from there
  --ignore-settings-errors
                       start with the defaults when Horatone.ini exists but cannot be read
  --web ADDR:PORT      serve the web page there (127.0.0.1:8073 for this computer only; any
                       other address needs a password set with web-password, and is HTTPS)
  --web-cert FILE --web-key FILE
                       serve HTTPS with this certificate and key (PEM) instead of the page's
                       own self-signed one

SvxLink, with --node svxlink (the clock is one of its receivers):
  --svx-audio HOST:PORT[:CH]  that receiver's AUDIO_DEV=udp:HOST:PORT and AUDIO_CHANNEL (0)
  --svx-rate HZ               SvxLink's CARD_SAMPLE_RATE (default 16000)
  --svx-squelch PTY           that receiver's PTY_PATH (SQL_DET=PTY)
  --svx-dtmf PTY              the logic's DTMF_CTRL_PTY
  --svx-events FIFO           the Tcl handler's FIFO (HORATONE_EVENTS): busy flags, the code
  --svx-dtmf-pause MS         a code without '#' ends after this pause (default 2000)

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
  // A reader that goes away (a closed terminal, a log pipe, the node's side of a socket)
  // makes writes fail, which each writer handles; it never ends the clock mid-announcement.
  // Ignoring is kept across exec, so the window's program inherits it.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string command;
  if (!args.empty() && (args[0] == "config" || args[0] == "check-voice" || args[0] == "say" ||
                        args[0] == "make-voice" || args[0] == "web-password" ||
                        args[0] == "node-key" || args[0] == "svxlink-setup")) {
    command = args[0];
    args.erase(args.begin());
  }

  HeadlessOptions options;
  options.root = HORATONE_SYSTEM_DIR;
  bool headless = false;
  bool svx_given = false;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp << NodeOptionHelp() << kHelpAfterNode << RigOptionsHelp();
      return 0;
    } else if (arg == "--version") {
      std::cout << VersionReply() << "\n";
      return 0;
    } else if (arg == "--root") {
      if (!has_value) return Usage("--root needs a folder");
      options.root = args[++i];
    } else if (command.empty() && arg == "--headless") {
      headless = true;
    } else if (command.empty() && arg == "--node") {
      if (!has_value) return Usage("--node needs " + NodeNames());
      options.node = args[++i];
    } else if (command.empty() && arg == "--audio") {
      if (!has_value) return Usage("--audio needs a back end name");
      options.audio = args[++i];
    } else if (command.empty() && arg == "--capture") {
      if (!has_value) return Usage("--capture needs a file name");
      options.capture = args[++i];
    } else if (command.empty() && arg == "--web") {
      if (!has_value) return Usage("--web needs ADDR:PORT, for example 127.0.0.1:8073");
      options.web = args[++i];
    } else if (command.empty() && (arg == "--web-cert" || arg == "--web-key")) {
      if (!has_value) return Usage(arg + " needs a file (PEM)");
      (arg == "--web-cert" ? options.web_cert : options.web_key) = args[++i];
    } else if (command.empty() && arg == "--ignore-settings-errors") {
      options.ignore_settings_errors = true;
    } else if (command.empty() && arg == "--start-at") {
      if (!has_value) return Usage("--start-at needs \"YYYY-MM-DD HH:MM:SS\"");
      const Result<LocalTime> start_at = ParseLocalDateTime(args[++i]);
      if (!start_at) return Usage("--start-at: " + start_at.message());
      options.start_at = *start_at;
    } else if (command.empty() && arg.rfind("--svx-", 0) == 0) {
      if (!has_value) return Usage(arg + " needs a value");
      const std::string& text = args[++i];
      if (arg == "--svx-audio") {
        options.svx_audio = text;
      } else if (arg == "--svx-squelch") {
        options.svxlink.squelch_pty = text;
      } else if (arg == "--svx-dtmf") {
        options.svxlink.dtmf_pty = text;
      } else if (arg == "--svx-events") {
        options.svxlink.events = text;
      } else if (arg == "--svx-rate" || arg == "--svx-dtmf-pause") {
        const Result<int> number = ParseNumber(text, 0, 999999);
        if (!number) return Usage(arg + " needs a number");
        (arg == "--svx-rate" ? options.svx_rate : options.svxlink.dtmf_pause_ms) = *number;
      } else {
        return Usage("unknown option '" + arg + "'");
      }
      svx_given = true;
    } else if (const char* rig_key = command.empty() ? RigKeyForOption(arg) : nullptr) {
      if (!has_value) return Usage(arg + " needs a value");
      options.rig_options[rig_key] = args[++i];
    } else if (!command.empty()) {
      rest.push_back(arg);
    } else {
      return Usage("unknown option '" + arg + "'");
    }
  }

  // Everything lives in the system directory; without it the clock would start and then fail
  // at every announcement.
  std::error_code root_error;
  if (!std::filesystem::is_directory(options.root, root_error)) {
    std::cerr << "horatone: the system directory " << options.root << " "
              << (std::filesystem::exists(options.root, root_error) ? "is not a folder"
                                                                    : "does not exist")
              << " (--root DIR chooses another)\n";
    return 2;
  }
  if (command == "config") return ConfigCommand(rest, options.root, std::cout, std::cerr);
  if (command == "svxlink-setup") return SvxLinkSetupCommand(rest, options.root, std::cout, std::cerr);
  if (command == "say") return SayCommand(rest, options.root, std::cout, std::cerr);
  if (command == "check-voice") {
    PathMapper mapper(options.root);
    return CheckVoiceCommand(rest, std::cout, std::cerr, mapper);
  }
  if (command == "make-voice") return MakeVoiceCommand(rest, PathMapper(options.root), std::cerr);
  if (command == "web-password") {
    if (!rest.empty()) return Usage("web-password takes only --root DIR");
    return WebPasswordCommand(options.root, std::cin, isatty(STDIN_FILENO), std::cerr);
  }
  if (command == "node-key") {
    if (!rest.empty()) return Usage("node-key takes only --root DIR");
    return NodeKeyCommand(options.root, std::cout, std::cerr);
  }
  if (!options.web.empty()) {
    if (const Status problem =
            WebStartProblem(options.web, options.root, options.web_cert, options.web_key);
        !problem) {
      return Usage(problem.message);
    }
  }
  if (FindNodeChoice(options.node) == nullptr) return Usage("--node takes " + NodeNames());
  if (svx_given != (options.node == "svxlink") || (svx_given && options.svx_audio.empty())) {
    return Usage(svx_given ? "--node svxlink needs --svx-audio, --svx-squelch and --svx-dtmf"
                           : "the --svx-... options need --node svxlink");
  }
  if (svx_given && !options.audio.empty()) {
    return Usage("--node svxlink sends its audio to SvxLink; leave out --audio");
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
    if (!options.web.empty()) return Usage("the web page is for the headless clock; add --headless");
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
