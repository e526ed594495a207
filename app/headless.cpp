#include "headless.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "announce/time_texts.h"
#include "sound/audio_engine.h"
#include "runtime/console_dialogs.h"
#include "runtime/ini_profile_file.h"
#include "runtime/posix_loop.h"
#include "node/quiet_release.h"
#include "node/svxlink/svx_udp_sink.h"
#include "runtime/system_clock.h"
#include "ui/web/web_front.h"
#include "shell/form1.h"
#include "shell/texts.h"
#include "shell/version.h"
#include "node_table.h"

namespace horatone {
namespace {

// Links are for the window; the headless clock only says what it would have opened.
class LoggedOpener : public ShellOpener {
 public:
  explicit LoggedOpener(std::function<void(const std::string&)> log) : log_(std::move(log)) {}
  int Open(const std::string& link) override {
    log_("link not opened without a desktop: " + link);
    opened.push_back(link);
    return kShellOpened;
  }
  // The links handed over; the web page takes them for the operator's browser.
  std::vector<std::string> opened;

 private:
  std::function<void(const std::string&)> log_;
};

class QuitLoop : public ProgramEnd {
 public:
  explicit QuitLoop(PosixLoop& loop) : loop_(loop) {}
  void EndNow() override { loop_.Quit(); }

 private:
  PosixLoop& loop_;
};

std::string Stamp(const LocalTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %s.%03d", t.year, t.month, t.day,
                LongTimeText(t).c_str(), t.millisecond);
  return text;
}

// The log is the error stream. A reader that has gone away (a closed terminal, a log pipe
// whose reader ended) must not end the clock: the loss is noted once, in the system log, and
// the clock goes on without a log.
class ErrorStreamLog {
 public:
  void Write(const std::string& line) {
    if (lost_) return;
    const std::string bytes = line + "\n";
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        lost_ = true;
        ::syslog(LOG_DAEMON | LOG_WARNING,
                 "horatone: the log (standard error) is gone: %s; the clock goes on without it",
                 n < 0 ? std::strerror(errno) : "nothing written");
        return;
      }
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<AudioEngine> OpenAudioEngine(const HeadlessOptions& options,
                                             const PathMapper& mapper, Form1* const* form,
                                             std::function<void(const std::string&)> log) {
  AudioEngineOptions audio;
  audio.backend = options.audio;
  if (options.node == "svxlink") {
    audio.backend = "svxlink:" + options.svx_audio;
    audio.sample_rate = options.svx_rate;
  }
  audio.capture_file = options.capture;
  audio.on_device_lost = [form, log](const std::string& why) {
    log("no sound device (" + why + "): announcements are skipped until it is back");
    if (*form) (*form)->AbandonAnnouncement("the sound device was lost");
  };
  audio.on_note = log;
  audio.more_outputs.push_back(SvxUdpOutput());
  Result<std::unique_ptr<AudioEngine>> engine = AudioEngine::Open(mapper, audio);
  if (!engine) {
    log("cannot start the audio engine: " + engine.message());
    return nullptr;
  }
  return std::move(*engine);
}

int RunHeadless(const HeadlessOptions& options) {
  SystemClock clock = options.start_at ? SystemClock(*options.start_at) : SystemClock();
  ErrorStreamLog stream;
  RecentLogLines recent;  // for the web page
  const auto log = [&clock, &stream, &recent](const std::string& line) {
    const std::string stamped = Stamp(clock.Now()) + " " + line;
    stream.Write(stamped);
    recent.Add(stamped);
  };

  PosixLoop loop;
  if (!loop.status()) {
    log("cannot start the event loop: " + loop.status().message);
    return 1;
  }
  PathMapper mapper(options.root);
  IniProfileFile profile(mapper, std::string(texts::kSettingsFile));
  if (const Status readable = profile.Check(); !readable && !options.ignore_settings_errors) {
    log("cannot read the settings: " + readable.message +
        " (--ignore-settings-errors starts with the defaults instead)");
    return 1;
  }

  Form1* form_ptr = nullptr;
  std::unique_ptr<AudioEngine> engine = OpenAudioEngine(options, mapper, &form_ptr, log);
  if (!engine) return 1;

  const NodeChoice* choice = FindNodeChoice(options.node);
  if (choice == nullptr) {
    log("--node takes " + NodeNames());
    return 1;
  }
  const NodeContext context{
      .options = options,
      .loop = loop,
      .profile = profile,
      .sound = *engine,
      .log = log,
      .abandon =
          [&form_ptr](const std::string& why) {
            if (form_ptr) form_ptr->AbandonAnnouncement(why);
          },
  };
  Result<OpenedNode> opened = choice->open(context);
  if (!opened) {
    log(opened.message());
    return 1;
  }
  NodeFactory* nodes = opened->nodes.get();

  // A release waits until the sound has been played (the radio node holds its own
  // transmitter until then, with its hang time).
  std::unique_ptr<QuietReleaseNodes> quiet;
  if (!opened->waits_for_sound) {
    AudioEngine* sound = engine.get();
    quiet = std::make_unique<QuietReleaseNodes>(*nodes, loop,
                                                [sound] { return sound->SecondsUntilQuiet(); });
    nodes = quiet.get();
  }

  ConsoleDialogs dialogs([&](const std::string& line) { log(line); });
  LoggedOpener shell(log);
  QuitLoop end(loop);
  Form1 form(Form1Services{loop, clock, *engine, *nodes, profile, dialogs, shell, end});
  form_ptr = &form;
  form.log = log;
  form.busy_wait_seconds = opened->busy_wait_seconds;
  std::string ptt_shown = form.PTT.caption();
  form.PTT.set_observer([&] {
    if (form.PTT.caption() == ptt_shown) return;
    ptt_shown = form.PTT.caption();
    log("transmitter " + ptt_shown);
  });
  // The settings set the code: at Load, again on SIGHUP, or from the web page.
  const auto tell_code = [&form, tell_node = opened->clock_code] {
    if (tell_node) tell_node(form.DTMFTime.text());
  };
  form.DTMFTime.set_observer(tell_code);

  log(VersionReply() + " starting: settings " + profile.Describe() + ", node " + options.node +
      ", audio " + engine->backend_name() +
      (options.capture.empty() ? "" : ", capture " + options.capture.string()));
  // No signal a service receives ends the clock with the transmitter keyed: SIGTERM, SIGINT
  // and SIGQUIT release it, then end the clock; SIGHUP reads the settings again and goes on;
  // SIGUSR1 and SIGUSR2 mean nothing to the clock and are logged.
  const Status handled = loop.HandleSignals([&](int signal) {
    if (signal == SIGHUP) {
      form.ReloadSettings();
    } else if (signal == SIGUSR1 || signal == SIGUSR2) {
      log(std::string("signal ") + sigabbrev_np(signal) + " ignored");
    } else {
      form.Terminate(signal == SIGINT    ? "interrupted"
                     : signal == SIGTERM ? "terminated"
                                         : std::string("signal ") + sigabbrev_np(signal));
    }
  });
  if (!handled) {
    // Without them a service manager's stop would leave the transmitter keyed.
    log(handled.message);
    return 1;
  }
  std::unique_ptr<WebService> web;
  if (!options.web.empty()) {
    const auto node_state = [&]() -> std::string {
      const bool up = opened->connected();
      if (!up) return options.node + ": not connected (waiting for it)";
      return options.node + ": connected" + (opened->info ? " (" + opened->info() + ")" : "");
    };
    Result<std::unique_ptr<WebService>> started =
        StartWebPage(options.web, options.web_cert, options.web_key, options.root, loop, form,
                     recent, node_state, log,
                     WebWindowParts{.simulated = opened->simulated, .links_opened = &shell.opened});
    if (!started) {
      log("cannot start the web page on " + options.web + ": " + started.message());
      return 1;
    }
    web = std::move(*started);
    log("web page on " + WebPageUrl(options.web));
  }
  if (form.Load()) {
    tell_code();  // the code Load left, changed or not
    loop.Run();
  }
  if (web) web->Stop();  // its requests wait for the loop, which has ended
  form_ptr = nullptr;
  const Status finalized = engine->FinalizeCapture();
  if (!finalized) log("capture: " + finalized.message);
  log("ended");
  return 0;
}

}  // namespace horatone
