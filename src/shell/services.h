// The outside world as the window model sees it: timers on the one loop thread, the local
// time of day, modal message boxes, the desktop's link opener and ending the program.
// Implementations live in runtime/, sound/ and ui/; tests use the virtual-time ones.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace horatone {

// Timers that fire on the loop thread, one handler at a time.
class TimerService {
 public:
  virtual ~TimerService() = default;
  using TimerId = int;
  virtual TimerId CreateTimer(std::function<void()> on_fire) = 0;
  // Fires every `interval_ms`, the first time `first_delay_ms` from now (interval when < 0).
  virtual void StartTimer(TimerId id, int interval_ms, int first_delay_ms = -1) = 0;
  virtual void StopTimer(TimerId id) = 0;
  // Monotonic milliseconds since the loop was made.
  virtual std::int64_t NowMs() const = 0;
};

// A local date and time of day, to the millisecond.
struct LocalTime {
  int year = 2000, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
  // The same moment as milliseconds since the epoch (UTC), for times of other zones.
  virtual std::int64_t EpochMs() const = 0;
};

enum class MsgIcon { kNone, kQuestion, kExclamation, kStop, kInformation };
enum class MsgButtons { kOk, kYesNo };
enum class MsgAnswer { kOk, kYes, kNo };

struct MessageBoxRequest {
  std::string text;
  std::string title;
  MsgIcon icon = MsgIcon::kNone;
  MsgButtons buttons = MsgButtons::kOk;
  MsgAnswer default_answer = MsgAnswer::kOk;
};

// Modal message boxes. MessageBox() returns the operator's answer; the window's boxes run the
// loop while they are open, so timers and node events go on being handled meanwhile, and a
// handler that shows one finds the model as those handlers left it.
class Dialogs {
 public:
  virtual ~Dialogs() = default;
  virtual MsgAnswer MessageBox(const MessageBoxRequest& request) = 0;
};

// ShellOpener's results, in the shell-execute convention: kShellFirstSuccess and above is
// success, 1 to kShellLastFailure a failure code that the About window reports, and 0 is
// neither: the About window passes it over without a word.
inline constexpr int kShellNotReported = 0;
inline constexpr int kShellOpened = 42;  // what an opener answers for success
inline constexpr int kShellFirstSuccess = 33;
inline constexpr int kShellLastFailure = 32;
inline constexpr int kShellNoAssociation = 31;  // no program handles links of this kind
inline constexpr int kShellFileNotFound = 2;
inline constexpr int kShellPathNotFound = 3;

// Hands a link to the desktop; the result is one of the codes above.
class ShellOpener {
 public:
  virtual ~ShellOpener() = default;
  virtual int Open(const std::string& link) = 0;
  // The same without waiting for the desktop: `done` (may be empty) gets the result later,
  // on the loop thread. An opener that answers at once may call it before returning.
  virtual void OpenAsync(const std::string& link, std::function<void(int)> done) {
    const int code = Open(link);
    if (done) done(code);
  }
};

// Ends the program at once: no further handler of any window runs.
class ProgramEnd {
 public:
  virtual ~ProgramEnd() = default;
  virtual void EndNow() = 0;
};

}  // namespace horatone
