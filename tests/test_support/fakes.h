// Fakes for building a Form1 in tests: a media service whose clips play in virtual time,
// message boxes answered from a script, a recording link opener, and a program end that
// stops the virtual loop. Harness puts them together with a temp settings folder.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "runtime/ini_profile_file.h"
#include "runtime/path_mapper.h"
#include "node/simulated/simulated_node.h"
#include "runtime/virtual_loop.h"
#include "shell/form1.h"
#include "test_support/temp_dir.h"

namespace horatone {

class FakeMedia : public MediaService {
 public:
  class Graph;

  explicit FakeMedia(const TimerService& time) : time_(time) {}

  // A clip file that renders, with its length in seconds.
  void SetClip(const std::string& path, double seconds) { clips_[path] = seconds; }
  // Every clip of a voice folder, `seconds` long and then 10 ms more for each next clip.
  void AddVoice(const std::string& folder, const std::string& ext, double seconds);
  void RemoveClip(const std::string& path) { clips_.erase(path); }

  Result<std::shared_ptr<MediaGraph>> CreateGraph() override;
  void Commit() override;
  Status Unavailable() const override {
    return unavailable ? Status::Unavailable(*unavailable) : Status::Ok();
  }
  void PrepareForSound() override { prepared_at_ms.push_back(time_.NowMs()); }

  // Paths of the clips that became audible, in order (a clip started and dropped inside one
  // handler never does).
  std::vector<std::string> heard;
  // When each wake-up ahead of a sound was asked for.
  std::vector<std::int64_t> prepared_at_ms;
  // Failure injection.
  bool fail_create = false;
  std::optional<std::string> unavailable;  // no sound device, and why
  std::set<std::string> stops_short;       // clips that stop halfway and never reach their end
  // The graph made last, while it lives.
  Graph* current() const;
  // Graphs still held by someone (the window holds one at a time).
  size_t live_graphs() const;

 private:
  const TimerService& time_;
  std::map<std::string, double> clips_;
  std::vector<std::weak_ptr<Graph>> graphs_;
};

class FakeMedia::Graph : public MediaGraph {
 public:
  Graph(FakeMedia& media) : media_(media) {}
  Status RenderFile(const std::string& path) override;
  std::optional<double> Duration() override { return duration; }
  std::optional<double> CurrentPosition() override;
  Status Run() override;
  Status Stop() override;
  Status SetCurrentPosition(double seconds) override;
  Status SetRate(double rate) override;
  Status SetVolume(long v) override {
    return Rendered([&] { volume = v; });
  }
  Status SetBalance(long b) override {
    return Rendered([&] { balance = b; });
  }

  std::string path;
  std::optional<double> duration;
  bool running = false;
  bool heard = false;
  double rate = 1.0;
  long volume = 0;
  long balance = 0;

 private:
  double Now() const { return media_.time_.NowMs() / 1000.0; }
  // Every call but RenderFile needs a rendered clip.
  Status Rendered(const auto& change) {
    if (!duration) return Status::Error("nothing rendered");
    change();
    return Status::Ok();
  }
  FakeMedia& media_;
  double start_position_ = 0;
  double started_at_ = 0;
};

class ScriptedDialogs : public Dialogs {
 public:
  MsgAnswer MessageBox(const MessageBoxRequest& request) override {
    shown.push_back(request);
    if (answers.empty()) return request.default_answer;
    const MsgAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<MsgAnswer> answers;
  std::vector<MessageBoxRequest> shown;
};

// A node's events as lines ("DTMF 123", "CLOSING", "CHAT hi"), each also handed to `then`.
class RecordingEvents : public EchoLinkEvents {
 public:
  void DTMFString(const std::string& digits) override { Add("DTMF " + digits); }
  void Closing() override { Add("CLOSING"); }
  void ChatTextReceived(const std::string& text) override { Add("CHAT " + text); }
  std::vector<std::string> seen;
  std::function<void(const std::string&)> then;

 private:
  void Add(const std::string& what) {
    seen.push_back(what);
    if (then) then(what);
  }
};

class RecordingShell : public ShellOpener {
 public:
  int Open(const std::string& link) override {
    opened.push_back(link);
    return result;
  }
  int result = kShellOpened;
  std::vector<std::string> opened;
};

class LoopEnd : public ProgramEnd {
 public:
  explicit LoopEnd(VirtualLoop& loop) : loop_(loop) {}
  void EndNow() override {
    ended = true;
    loop_.Quit();
  }
  bool ended = false;

 private:
  VirtualLoop& loop_;
};

// A Form1 built from fakes, with its settings file in a fresh temp folder.
struct Harness {
  explicit Harness(LocalTime start = {2026, 12, 6, 14, 4, 50, 0});

  // Writes the settings file, as bytes.
  void WriteSettings(const std::string& bytes);
  std::string ReadSettingsFile() const;
  // Builds the window and runs its load handler.
  Form1& Start();

  TempDir dir;
  PathMapper mapper{dir.path()};
  IniProfileFile profile{mapper, "Horatone.ini"};
  VirtualLoop loop;
  VirtualClock clock;
  FakeMedia media{loop};
  SimulatedNode node{loop};
  ScriptedDialogs dialogs;
  RecordingShell shell;
  LoopEnd end{loop};
  std::unique_ptr<Form1> form;
};

}  // namespace horatone
