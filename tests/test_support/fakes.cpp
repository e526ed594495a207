#include "test_support/fakes.h"

#include <algorithm>

#include "announce/clip_names.h"

namespace horatone {

void FakeMedia::AddVoice(const std::string& folder, const std::string& ext, double seconds) {
  // Each clip a little longer than the one before, as real recordings differ in length.
  int index = 0;
  for (const std::string& stem : clips::AllClipStems())
    SetClip(folder + stem + ext, seconds + 0.01 * index++);
}

Result<std::shared_ptr<MediaGraph>> FakeMedia::CreateGraph() {
  if (fail_create) return Status::Unavailable("no audio output device");
  auto graph = std::make_shared<Graph>(*this);
  graphs_.push_back(graph);
  return std::shared_ptr<MediaGraph>(graph);
}

void FakeMedia::Commit() {
  std::erase_if(graphs_, [](const std::weak_ptr<Graph>& g) { return g.expired(); });
  for (const std::weak_ptr<Graph>& weak : graphs_) {
    const std::shared_ptr<Graph> graph = weak.lock();
    if (graph->running && !graph->heard) {
      graph->heard = true;
      heard.push_back(graph->path);
    }
  }
}

FakeMedia::Graph* FakeMedia::current() const {
  for (auto it = graphs_.rbegin(); it != graphs_.rend(); ++it) {
    if (auto graph = it->lock()) return graph.get();
  }
  return nullptr;
}

size_t FakeMedia::live_graphs() const {
  return static_cast<size_t>(std::count_if(
      graphs_.begin(), graphs_.end(), [](const std::weak_ptr<Graph>& g) { return !g.expired(); }));
}

Status FakeMedia::Graph::RenderFile(const std::string& file) {
  const auto clip = media_.clips_.find(file);
  if (clip == media_.clips_.end()) return Status::Error(file + ": no such clip");
  path = file;
  duration = clip->second;
  return Status::Ok();
}

std::optional<double> FakeMedia::Graph::CurrentPosition() {
  if (!duration) return std::nullopt;
  double position = start_position_;
  if (running) position += (Now() - started_at_) * rate;
  return std::min(position, media_.stops_short.count(path) ? *duration / 2 : *duration);
}

Status FakeMedia::Graph::Run() {
  return Rendered([&] {
    if (!running) started_at_ = Now();
    running = true;
  });
}

Status FakeMedia::Graph::Stop() {
  return Rendered([&] {
    start_position_ = *CurrentPosition();
    running = false;
  });
}

Status FakeMedia::Graph::SetCurrentPosition(double seconds) {
  return Rendered([&] { start_position_ = seconds, started_at_ = Now(); });
}

Status FakeMedia::Graph::SetRate(double new_rate) {
  return Rendered(
      [&] { start_position_ = *CurrentPosition(), started_at_ = Now(), rate = new_rate; });
}

Harness::Harness(LocalTime start) : clock(loop, start) {}

void Harness::WriteSettings(const std::string& bytes) {
  testing::WriteBytes(dir.path() / "Horatone.ini", bytes);
}

std::string Harness::ReadSettingsFile() const {
  return testing::ReadBytes(dir.path() / "Horatone.ini");
}

Form1& Harness::Start() {
  form = std::make_unique<Form1>(
      Form1Services{loop, clock, media, node, profile, dialogs, shell, end});
  form->Load();
  return *form;
}

}  // namespace horatone
