// Hands a link to the desktop with xdg-open, started directly (never through a shell), and
// turns its outcome into the shell-execute result codes the About window judges: 42 for
// success, 31 when no program handles the link or xdg-open is missing, 2 when the file was
// not found, and any other failure's exit code within 1 to 32. Loop thread; the call waits
// a short while for xdg-open to report and lets a slow one finish on its own.
#pragma once

#include <string>
#include <utility>

#include "shell/services.h"

namespace horatone {

class DesktopOpener : public ShellOpener {
 public:
  static constexpr int kSuccess = 42;
  static constexpr int kNoAssociation = 31;
  static constexpr int kFileNotFound = 2;

  // `program` is looked up on PATH unless it contains a slash.
  explicit DesktopOpener(std::string program = "xdg-open", int wait_ms = 5000)
      : program_(std::move(program)), wait_ms_(wait_ms) {}

  int Open(const std::string& link) override;

 private:
  std::string program_;
  int wait_ms_;
};

// A web host written without a scheme ("www.example.org/page") as an https link; any other
// link (one with a scheme, a path, a file name without a dot) unchanged.
std::string WithWebScheme(const std::string& link);

// The shell-execute code for an exit status of xdg-open.
int ShellCodeForExit(int exit_code);

}  // namespace horatone
