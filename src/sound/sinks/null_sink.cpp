// The output that is only a clock: it paces the stream by the monotonic clock and plays
// nothing; see output_sink.h.
#include <memory>
#include <string>

#include "sound/output_sink.h"
#include "sound/stream_clock.h"

namespace horatone {
namespace {

class NullSink final : public OutputSink {
 public:
  explicit NullSink(int sample_rate) : sample_rate_(sample_rate), clock_(sample_rate) {}
  std::string name() const override { return "null"; }
  int period_frames() const override { return sample_rate_ / 500; }
  int64_t QueuedFrames() override { return 0; }
  void Restart(int64_t ahead_frames) override {
    clock_.RestartAt(StreamClock::NowNs() + ahead_frames * 1'000'000'000 / sample_rate_);
  }
  // The clock starts with the first write, so that a sink opened early does not race ahead.
  Status Write(const float*, int count) override {
    clock_.Start();
    clock_.Count(count);
    clock_.ForgiveStall();
    StreamClock::SleepUntil(clock_.DeadlineNs(clock_.frames()));
    return Status::Ok();
  }
  int64_t FramesDueNow() override { return clock_.DueNow(); }
  void Skip(int64_t frames) override { clock_.Count(frames); }

 private:
  const int sample_rate_;
  StreamClock clock_;
};

}  // namespace

std::unique_ptr<OutputSink> OpenNullSink(int sample_rate) {
  return std::make_unique<NullSink>(sample_rate);
}

}  // namespace horatone
