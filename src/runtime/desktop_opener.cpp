#include "runtime/desktop_opener.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

namespace horatone {
namespace {

// xdg-open's documented exit codes.
constexpr int kXdgFileNotFound = 2;
constexpr int kXdgToolMissing = 3;
// What a shell, or a spawn that cannot report a failed exec otherwise, gives for "not run".
constexpr int kExecFailed = 127;

bool HasScheme(const std::string& link) {
  // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"; one letter is a drive, not a scheme.
  const size_t colon = link.find(':');
  if (colon == std::string::npos || colon < 2) return false;
  if (!std::isalpha(static_cast<unsigned char>(link[0]))) return false;
  return std::all_of(link.begin(), link.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  });
}

}  // namespace

std::string WithWebScheme(const std::string& link) {
  if (link.empty() || HasScheme(link) || link[0] == '/' || link[0] == '.' || link[0] == '~') {
    return link;
  }
  const std::string host = link.substr(0, link.find('/'));
  const bool looks_like_host =
      host.find('.') != std::string::npos && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':';
      });
  return looks_like_host ? "https://" + link : link;
}

int ShellCodeForExit(int exit_code) {
  if (exit_code == 0) return kShellOpened;
  // 127: the opener itself could not be run (a spawn that reports a failed exec only through
  // the child's status, as under an emulator), the same as no opener at all.
  if (exit_code == kXdgToolMissing || exit_code == kExecFailed) {
    return kShellNoAssociation;
  }
  if (exit_code == kXdgFileNotFound) return kShellFileNotFound;
  return std::clamp(exit_code, 1, kShellLastFailure);
}

namespace {

// The shell-execute code for a finished child's wait status.
int CodeForStatus(int status) {
  if (WIFEXITED(status)) return ShellCodeForExit(WEXITSTATUS(status));
  return kShellLastFailure;  // killed by a signal
}

}  // namespace

DesktopOpener::DesktopOpener(TimerService& timers, std::string program, int wait_ms)
    : timers_(timers),
      program_(std::move(program)),
      wait_ms_(wait_ms),
      poll_timer_(timers_.CreateTimer([this] { Poll(); })) {}

DesktopOpener::~DesktopOpener() { timers_.StopTimer(poll_timer_); }

std::optional<int> DesktopOpener::Spawn(const std::string& link, pid_t* pid) const {
  const std::string target = WithWebScheme(link);
  std::vector<char*> argv = {const_cast<char*>(program_.c_str()), const_cast<char*>(target.c_str()),
                             nullptr};
  const int spawned = posix_spawnp(pid, program_.c_str(), nullptr, nullptr, argv.data(), environ);
  if (spawned == ENOENT || spawned == EACCES) return kShellNoAssociation;
  if (spawned != 0) return std::clamp(spawned, 1, kShellLastFailure);
  return std::nullopt;
}

int DesktopOpener::Open(const std::string& link) {
  pid_t pid = 0;
  if (const std::optional<int> failed = Spawn(link, &pid)) return *failed;
  // xdg-open normally returns as soon as the handler has started; one that stays (a handler
  // running in the foreground) has found its program, which counts as success.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms_);
  int status = 0;
  while (true) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return kShellOpened;
    if (std::chrono::steady_clock::now() >= give_up) {
      std::thread([pid] {
        int ignored = 0;
        while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
      }).detach();
      return kShellOpened;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return CodeForStatus(status);
}

void DesktopOpener::OpenAsync(const std::string& link, std::function<void(int)> done) {
  pid_t pid = 0;
  if (const std::optional<int> failed = Spawn(link, &pid)) {
    if (done) done(*failed);
    return;
  }
  running_.push_back({pid, timers_.NowMs() + wait_ms_, std::move(done)});
  if (running_.size() == 1) timers_.StartTimer(poll_timer_, kPollMs);
}

void DesktopOpener::Poll() {
  // The outcomes are told after the list is settled: a report may open another link.
  std::vector<std::pair<std::function<void(int)>, int>> outcomes;
  const std::int64_t now = timers_.NowMs();
  for (auto it = running_.begin(); it != running_.end();) {
    int status = 0;
    const pid_t reaped = waitpid(it->pid, &status, WNOHANG);
    const bool ended = reaped == it->pid || (reaped < 0 && errno != EINTR);
    if (!it->reported && (ended || now >= it->give_up_ms)) {
      const int code = reaped == it->pid ? CodeForStatus(status) : kShellOpened;
      if (it->done) outcomes.emplace_back(std::move(it->done), code);
      it->reported = true;
    }
    it = ended ? running_.erase(it) : it + 1;
  }
  if (running_.empty()) timers_.StopTimer(poll_timer_);
  for (auto& [report, code] : outcomes) report(code);
}

}  // namespace horatone
