// Hands a link to the desktop with xdg-open, started directly (never through a shell), and
// turns its outcome into the shell-execute result codes the About window judges (see
// services.h): kShellOpened for success, kShellNoAssociation when no program handles the link
// or xdg-open is missing, kShellFileNotFound when the file was not found, and any other
// failure's exit code within 1 to kShellLastFailure. Loop thread. OpenAsync never
// blocks the loop: a timer looks after the running openers and reports each one's outcome;
// one still running after a while has found its program and counts as a success.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shell/services.h"

namespace horatone {

class DesktopOpener : public ShellOpener {
 public:
  // How often a running opener is looked at.
  static constexpr int kPollMs = 20;

  // `program` is looked up on PATH unless it contains a slash.
  explicit DesktopOpener(TimerService& timers, std::string program = "xdg-open",
                         int wait_ms = 5000);
  ~DesktopOpener() override;
  DesktopOpener(const DesktopOpener&) = delete;
  DesktopOpener& operator=(const DesktopOpener&) = delete;

  // Waits for the outcome, for callers without a loop.
  int Open(const std::string& link) override;
  void OpenAsync(const std::string& link, std::function<void(int)> done) override;

 private:
  struct Running {
    pid_t pid;
    std::int64_t give_up_ms;
    std::function<void(int)> done;  // empty once reported; the process is still reaped
    bool reported = false;
  };
  // Starts the opener; the failure code when it could not be started.
  std::optional<int> Spawn(const std::string& link, pid_t* pid) const;
  void Poll();

  TimerService& timers_;
  std::string program_;
  int wait_ms_;
  TimerService::TimerId poll_timer_;
  std::vector<Running> running_;
};

// A web host written without a scheme ("www.example.org/page") as an https link; any other
// link (one with a scheme, a path, a file name without a dot) unchanged.
std::string WithWebScheme(const std::string& link);

// The shell-execute code for an exit status of xdg-open.
int ShellCodeForExit(int exit_code);

}  // namespace horatone
