// The media service: one graph per clip. A graph renders one file, reports its duration and
// playing position in the clip's own seconds, and takes run, stop, seek, rate, volume and
// balance. Dropping the last reference to a graph ends it and silences it at once.
// All calls are made from the loop thread; implementations never throw.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "shell/status.h"

namespace horatone {

class MediaGraph {
 public:
  virtual ~MediaGraph() = default;

  // Decodes `path` (a path as the operator wrote it; the service maps it) into the graph.
  virtual Status RenderFile(const std::string& path) = 0;
  // Clip length in seconds; identical on every render of the same file. Absent (like the
  // position) while no file has been rendered into the graph.
  virtual std::optional<double> Duration() = 0;
  // Seconds played; exactly Duration() once the clip has played to its end.
  virtual std::optional<double> CurrentPosition() = 0;
  virtual Status Run() = 0;
  virtual Status Stop() = 0;
  virtual Status SetCurrentPosition(double seconds) = 0;
  // 0.1 to 2.0; 1.0 is normal speed.
  virtual Status SetRate(double rate) = 0;
  // Hundredths of a decibel: 0 is full volume, -3000 the quietest the bar gives.
  virtual Status SetVolume(long volume) = 0;
  // -5000 (left) to 5000 (right), hundredths of a decibel of the opposite channel's attenuation.
  virtual Status SetBalance(long balance) = 0;
};

class MediaService {
 public:
  virtual ~MediaService() = default;
  // A fresh, empty graph, or why none could be made.
  virtual Result<std::shared_ptr<MediaGraph>> CreateGraph() = 0;
  // Called by the loop after every handler: changes made since the last call reach the
  // output together, so a graph started and dropped inside one handler is never heard.
  virtual void Commit() {}
  // Ok when sound can be played now; else why nothing could be heard (no sound device).
  virtual Status Unavailable() const { return Status::Ok(); }
  // A sound is due within a few seconds: the output may get ready for it now.
  virtual void PrepareForSound() {}
};

}  // namespace horatone
