// The audio engine in virtual time: the test pumps frames and reads what went on air.
#include "sound/audio_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "sound/audio_files.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using testing::Samples;

constexpr int kRate = 48000;
constexpr int kTick = kRate / 1000;  // the sequencer's 1 ms tick

class AudioEngineTest : public ::testing::Test {
 protected:
  AudioEngineTest() : mapper_(dir_.path()) {
    AudioEngineOptions options;
    options.backend = "virtual";
    options.capture_file = dir_.path() / "air.wav";
    Result<std::unique_ptr<AudioEngine>> opened = AudioEngine::Open(mapper_, options);
    EXPECT_TRUE(opened);
    if (opened) engine_ = std::move(*opened);
  }

  // Writes a clip into the voice folder and returns its path as the operator writes it.
  std::string Clip(const std::string& name, const Samples& samples, int format = testing::kWav16) {
    std::filesystem::create_directories(dir_.path() / "C" / "Voice");
    EXPECT_TRUE(testing::WriteClip(dir_.path() / "C" / "Voice" / name, samples, format));
    return "C:\\Voice\\" + name;
  }

  // What a trigger does: a new graph, rendered, volume and rate set, run from position 0.
  std::shared_ptr<MediaGraph> Start(const std::string& path, double rate = 1.0, long volume = 0) {
    std::shared_ptr<MediaGraph> graph = engine_->CreateGraph().value();
    EXPECT_TRUE(graph->RenderFile(path) && graph->SetVolume(volume) && graph->SetRate(rate) &&
                graph->Run() && graph->SetCurrentPosition(0));
    return graph;
  }

  void Pump(int64_t frames) { engine_->Pump(frames, &air_); }
  std::size_t Frames() const { return air_.size() / 2; }

  // Pumps tick by tick until the position reads the duration; the frames pumped, or -1.
  int64_t PumpUntilEnd(MediaGraph& graph, int64_t limit = 60 * kRate) {
    for (int64_t pumped = 0; pumped < limit; pumped += kTick) {
      if (graph.CurrentPosition() == graph.Duration()) return pumped;
      Pump(kTick);
    }
    return -1;
  }

  // The level of one channel over frames [from, to) of what went on air, in dB of a sine of
  // amplitude 0.5.
  double Db(int channel, int64_t from, int64_t to) const {
    double sum = 0;
    for (int64_t f = from; f < to; ++f) sum += air_[2 * f + channel] * air_[2 * f + channel];
    return 20 *
           std::log10(std::sqrt(sum / static_cast<double>(to - from)) / (0.5 / std::sqrt(2.0)));
  }

  // True when nothing but silence went on air from interleaved sample `from` on.
  bool SilentFrom(std::size_t from) const {
    return std::all_of(air_.begin() + std::min(from, air_.size()), air_.end(),
                       [](float s) { return s == 0.0f; });
  }

  // Sign changes per second of the left channel over frames [from, to), halved: the frequency.
  double Frequency(int64_t from, int64_t to) const {
    int crossings = 0;
    for (int64_t f = from + 1; f < to; ++f)
      crossings += (air_[2 * f] >= 0) != (air_[2 * (f - 1)] >= 0);
    return crossings / 2.0 / (static_cast<double>(to - from) / kRate);
  }

  TempDir dir_;
  PathMapper mapper_;
  std::unique_ptr<AudioEngine> engine_;
  std::vector<float> air_;  // everything sent, interleaved stereo
};

TEST_F(AudioEngineTest, PositionReadsExactlyTheDurationOnceAClipHasPlayedToItsEnd) {
  // With the length each was made with; an mp3 may carry up to a frame of encoder padding.
  const std::pair<std::string, double> clips[] = {
      {Clip("a.wav", testing::Tone(48000, 2, 0.3, 440)), 0.3},
      {Clip("c.wav", testing::Tone(8000, 1, 0.123, 440), SF_FORMAT_WAV | SF_FORMAT_PCM_24), 0.123},
      {Clip("d.mp3", testing::Tone(44100, 2, 0.5, 440), testing::kMp3), 0.5},
  };
  for (const auto& [path, made] : clips) {
    SCOPED_TRACE(path);
    auto graph = Start(path);
    engine_->Commit();
    const double duration = *graph->Duration();
    EXPECT_NEAR(duration, made, path.ends_with(".mp3") ? 0.06 : 0.0001);
    const int64_t pumped = PumpUntilEnd(*graph);
    ASSERT_GE(pumped, 0);
    EXPECT_NEAR(static_cast<double>(pumped) / kRate, duration, 0.02);
    Pump(10 * kTick);
    EXPECT_EQ(graph->CurrentPosition(), duration);
  }
}

TEST_F(AudioEngineTest, PositionFollowsThePumpedFramesSeeksShowAtOnceAndStopHolds) {
  auto graph = Start(Clip("tone.wav", testing::Tone(48000, 1, 1.0, 440)));
  engine_->Commit();
  Pump(kRate / 4);
  const double lead = static_cast<double>(engine_->holdback_frames() + kTick) / kRate;
  EXPECT_NEAR(*graph->CurrentPosition(), 0.25, lead);
  ASSERT_TRUE(graph->SetCurrentPosition(0.75));
  EXPECT_EQ(graph->CurrentPosition(), 0.75);  // before the mixer has it
  engine_->Commit();
  EXPECT_EQ(graph->CurrentPosition(), 0.75);
  Pump(kRate / 10);
  EXPECT_NEAR(*graph->CurrentPosition(), 0.85, lead);

  // Stop halts at once and goes quiet; Run goes on from there.
  ASSERT_TRUE(graph->Stop());
  engine_->Commit();
  Pump(kTick);
  const double stopped_at = *graph->CurrentPosition();
  const std::size_t quiet_from = air_.size() + 2 * static_cast<std::size_t>(kTick);
  Pump(kRate / 10);
  EXPECT_EQ(graph->CurrentPosition(), stopped_at);
  EXPECT_TRUE(SilentFrom(quiet_from));
  ASSERT_TRUE(graph->Run());
  engine_->Commit();
  Pump(kRate / 10);
  EXPECT_GT(*graph->CurrentPosition(), stopped_at);

  ASSERT_TRUE(graph->SetCurrentPosition(99));  // past the end: at the end
  engine_->Commit();
  Pump(kTick);
  EXPECT_EQ(graph->CurrentPosition(), graph->Duration());
}

// Rate changes speed and pitch together, like tape; volume and balance attenuate in hundredths
// of a decibel.
TEST_F(AudioEngineTest, RateVolumeAndBalanceAreHeardAsSet) {
  const std::string path = Clip("tone.wav", testing::Tone(22050, 1, 0.4, 1000, 0.5f));
  struct {
    double rate;
    long volume, balance;
    double left, right;  // dB
  } cases[] = {{2.0, 0, 0, 0, 0},      {1.0, -600, 0, -6, -6},  {0.5, -3000, 0, -30, -30},
               {0.1, 0, 1000, -10, 0}, {1.0, 0, -5000, 0, -50}, {1.0, -1500, 2500, -40, -15}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "rate " << c.rate << " volume " << c.volume << " balance " << c.balance);
    air_.clear();
    auto graph = Start(path, c.rate, c.volume);
    ASSERT_TRUE(graph->SetBalance(c.balance));
    engine_->Commit();
    const int64_t pumped = PumpUntilEnd(*graph);
    EXPECT_NEAR(static_cast<double>(pumped) / kRate, 0.4 / c.rate, 0.015);
    const int64_t from = engine_->holdback_frames() + 2 * kTick, to = from + pumped / 2;
    EXPECT_NEAR(Frequency(from, to), 1000 * c.rate, 1000 * c.rate * 0.03);
    EXPECT_NEAR(Db(0, from, to), c.left, 0.05);
    EXPECT_NEAR(Db(1, from, to), c.right, 0.05);
  }
}

// The sequencer notices an end on its next tick, after it happened, and only then starts the
// next clip; the new clip's first sample must still follow the old clip's last one.
TEST_F(AudioEngineTest, AClipStartedAfterTheLastOneEndedFollowsItWithoutAGap) {
  const std::string first = Clip("first.wav", testing::Level(48000, 1, 4801, 0.25f));
  const std::string second = Clip("second.wav", testing::Level(48000, 2, 3000, -0.5f));
  for (int late_ticks : {0, 1, 3, 6}) {
    SCOPED_TRACE(::testing::Message() << late_ticks << " ticks late");
    air_.clear();
    auto graph = Start(first);
    engine_->Commit();
    ASSERT_GE(PumpUntilEnd(*graph), 0);
    Pump(late_ticks * kTick);
    graph = Start(second);  // drops the first graph, as the composer does
    engine_->Commit();
    ASSERT_GE(PumpUntilEnd(*graph), 0);
    Pump(engine_->holdback_frames() + kTick);

    std::vector<float> expected(2 * 4801, 0.25f);
    expected.insert(expected.end(), 2 * 3000, -0.5f);
    expected.insert(expected.end(), 2 * kTick, 0.0f);
    const auto begin = std::search(air_.begin(), air_.end(), expected.begin(), expected.end());
    ASSERT_NE(begin, air_.end());
    EXPECT_EQ((begin - air_.begin()) % 2, 0);
  }
}

// The transmitter's key-up: output held from before the clip starts keeps the whole clip,
// first sample included, and the position waits with it. The quiet measure counts from the
// last clip sample sent, not from the clip's end being noticed.
TEST_F(AudioEngineTest, HeldOutputDelaysAClipWholeAndTheQuietTimeCountsFromItsLastSample) {
  EXPECT_LT(engine_->SecondsUntilQuiet(), 0.0 + 1e-9);  // nothing has sounded yet
  const std::string path = Clip("step.wav", testing::Level(48000, 1, 2400, 0.25f));
  engine_->HoldOutput(true);
  auto graph = Start(path);
  engine_->Commit();
  Pump(10 * kTick);
  EXPECT_EQ(graph->CurrentPosition(), 0.0);
  EXPECT_TRUE(SilentFrom(0));

  engine_->HoldOutput(false);
  const auto released_at = static_cast<int64_t>(Frames());
  ASSERT_GE(PumpUntilEnd(*graph), 0);
  EXPECT_GT(engine_->SecondsUntilQuiet(), 0.0);  // the hold-back is still to go out
  Pump(engine_->holdback_frames() + 5 * kTick);

  const auto first = std::find(air_.begin(), air_.end(), 0.25f) - air_.begin();
  EXPECT_EQ(first / 2, released_at);
  EXPECT_EQ(std::count(air_.begin(), air_.end(), 0.25f), 2 * 2400);
  const auto since_last = static_cast<double>(static_cast<int64_t>(Frames()) - released_at - 2400);
  EXPECT_NEAR(engine_->SecondsUntilQuiet(), -since_last / kRate, 1e-9);
}

TEST_F(AudioEngineTest, DroppingAPlayingGraphSilencesItAtOnceWithoutAClick) {
  const std::string path = Clip("tone.wav", testing::Tone(48000, 2, 1.0, 440, 0.8f));
  { auto dropped = Start(path); }  // dropped before the loop commits: never heard
  engine_->Commit();
  Pump(kRate / 10);
  EXPECT_TRUE(SilentFrom(0));

  air_.clear();
  auto graph = Start(path);
  engine_->Commit();
  Pump(kRate / 5);
  const std::size_t dropped_at = air_.size();
  graph.reset();
  engine_->Commit();
  Pump(kRate / 10);
  auto largest_step = [&](std::size_t from, std::size_t to, float step = 0) {
    for (std::size_t i = from + 2; i < to; ++i)
      step = std::max(step, std::abs(air_[i] - air_[i - 2]));
    return step;
  };
  EXPECT_LE(largest_step(dropped_at - 2, air_.size()),
            largest_step(kRate / 10, dropped_at) * 1.01f);
  EXPECT_TRUE(SilentFrom(dropped_at + 2 * static_cast<std::size_t>(kRate / 500)));
}

TEST_F(AudioEngineTest, TheCaptureHoldsEverythingSentAndIsValidBeforeAndAfterFinalizing) {
  auto graph = Start(Clip("tone.wav", testing::Tone(22050, 1, 0.5, 440)));
  engine_->Commit();
  Pump(kRate);
  const auto file = dir_.path() / "air.wav";
  // The capture's writer keeps the file valid as it goes, as a crash would leave it.
  int64_t written = 0;
  for (int i = 0; i < 300 && written < kRate * 9 / 10; ++i, usleep(10'000)) {
    written = testing::ReadClip(file).frames();
  }
  EXPECT_GE(written, kRate * 9 / 10);
  ASSERT_TRUE(engine_->FinalizeCapture());
  ASSERT_TRUE(engine_->FinalizeCapture());
  Pump(kRate / 10);  // after the capture has ended
  const Samples captured = testing::ReadClip(file);
  ASSERT_EQ(captured.rate, kRate);
  ASSERT_EQ(captured.data.size(), 2u * kRate);
  for (std::size_t i = 0; i < captured.data.size(); ++i) {
    ASSERT_NEAR(captured.data[i], air_[i], 1.5 / 32768) << "sample " << i;
  }
}

TEST(AudioEngineOpen, BadOutputsAreRefusedAndAMissingDeviceIsReportedOnceAndHeldUnavailable) {
  TempDir dir;
  PathMapper mapper(dir.path());
  AudioEngineOptions options;
  options.backend = "oss";
  Result<std::unique_ptr<AudioEngine>> refused = AudioEngine::Open(mapper, options);
  EXPECT_FALSE(refused);
  EXPECT_NE(refused.message().find("oss"), std::string::npos) << refused.message();
  options.backend = "virtual";
  options.capture_file = dir.path() / "no such folder" / "air.wav";
  refused = AudioEngine::Open(mapper, options);
  EXPECT_FALSE(refused);
  EXPECT_NE(refused.message().find("air.wav"), std::string::npos) << refused.message();

  std::vector<std::string> reports;
  options = {};
  options.backend = "alsa:no-such-device";
  options.on_device_lost = [&](const std::string& why) { reports.push_back(why); };
  Result<std::unique_ptr<AudioEngine>> opened = AudioEngine::Open(mapper, options);
  ASSERT_TRUE(opened);
  std::unique_ptr<AudioEngine> engine = std::move(*opened);
  EXPECT_EQ(engine->backend_name(), "alsa");  // it keeps trying; it never falls back to null
  EXPECT_TRUE(reports.empty());               // delivered on the loop thread, at a commit
  engine->Commit();
  engine->Commit();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("no-such-device"), std::string::npos) << reports[0];
  EXPECT_EQ(engine->Unavailable().message, reports[0]);
}

// An output from outside the sound library, as a node adds its own: it keeps time and
// counts what it is given.
class CountingSink final : public OutputSink {
 public:
  explicit CountingSink(int64_t* written) : written_(written) {}
  std::string name() const override { return "tape"; }
  int period_frames() const override { return 96; }
  int64_t QueuedFrames() override { return 0; }
  Status Write(const float*, int count) override {
    *written_ += count;
    return Status::Ok();
  }
  int64_t FramesDueNow() override { return 0; }

 private:
  int64_t* written_;
};

struct TapeRow {
  std::vector<std::string> details;  // what each open was given after the colon
  int64_t written = 0;
  Status missing;  // the sink is missing with this, when set

  SoundOutput Row() {
    SoundOutput row;
    row.name = "tape";
    row.spellings = {"tape:REEL"};
    row.open = [this](const DeviceOptions& options) -> Result<OpenedOutput> {
      details.push_back(options.device);
      if (options.device == "torn") return Status::BadInput("the reel is torn");
      OpenedOutput opened{"tape", nullptr, missing, "audio output: tape " + options.device};
      if (missing.ok()) opened.sink = std::make_unique<CountingSink>(&written);
      return opened;
    };
    return row;
  }
};

TEST(AudioEngineOutputs, TheUnknownOutputMessageListsTheTableWithAddedRowsBeforeTheStandIns) {
  TempDir dir;
  PathMapper mapper(dir.path());
  AudioEngineOptions options;
  options.backend = "oss";
  EXPECT_EQ(AudioEngine::Open(mapper, options).message(),
            "Unknown audio output \"oss\" (pulse, alsa, alsa:DEVICE, null or virtual)");
  TapeRow tape;
  options.more_outputs.push_back(tape.Row());
  options.backend = "tapes:x";
  EXPECT_EQ(AudioEngine::Open(mapper, options).message(),
            "Unknown audio output \"tapes:x\" (pulse, alsa, alsa:DEVICE, tape:REEL, null or "
            "virtual)");
  EXPECT_TRUE(tape.details.empty());
}

TEST(AudioEngineOutputs, AnAddedRowOpensWithItsDetailAndItsFailuresAreTheEngines) {
  TempDir dir;
  PathMapper mapper(dir.path());
  TapeRow tape;
  std::vector<std::string> notes, lost;
  AudioEngineOptions options;
  options.more_outputs.push_back(tape.Row());
  options.on_note = [&](const std::string& line) { notes.push_back(line); };
  options.on_device_lost = [&](const std::string& why) { lost.push_back(why); };

  options.backend = "tape:torn";
  EXPECT_EQ(AudioEngine::Open(mapper, options).message(), "the reel is torn");

  options.backend = "tape:C90";
  Result<std::unique_ptr<AudioEngine>> opened = AudioEngine::Open(mapper, options);
  ASSERT_TRUE(opened) << opened.message();
  std::unique_ptr<AudioEngine> engine = std::move(*opened);
  EXPECT_EQ(engine->backend_name(), "tape");
  engine->Commit();
  EXPECT_EQ(notes, std::vector<std::string>{"audio output: tape C90"});  // no device suffix
  EXPECT_TRUE(lost.empty());
  EXPECT_TRUE(engine->Unavailable().ok());
  engine.reset();
  EXPECT_EQ(tape.details, (std::vector<std::string>{"torn", "C90"}));

  // A missing output is reported, not refused; it is no device, so nobody looks for it again.
  tape.missing = Status::Unavailable("no reel in the deck");
  opened = AudioEngine::Open(mapper, options);
  ASSERT_TRUE(opened);
  (*opened)->Commit();
  EXPECT_EQ(lost, std::vector<std::string>{"no reel in the deck"});
  EXPECT_EQ((*opened)->Unavailable().message, "no reel in the deck");
  opened->reset();
  EXPECT_EQ(tape.details.size(), 3u);
}

}  // namespace
}  // namespace horatone
