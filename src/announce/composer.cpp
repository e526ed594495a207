// LoadFile, the composer: loads the one clip of the step that LoadStep names into a fresh
// media graph, keys the transmitter for the lead-in and time-is clips, writes the clip's
// duration text and moves NextStep on when the end-of-clip test holds. A failure anywhere
// runs the one recovery: back to the first voice, a message, and the announcement ended
// with the transmitter released.
#include <cmath>

#include "announce/clip_names.h"
#include "announce/steps.h"
#include "announce/time_texts.h"
#include "shell/form1.h"
#include "shell/seconds_text.h"
#include "shell/texts.h"

namespace horatone {

namespace {
constexpr double kLargestBarValue = 32767;
}  // namespace

int Form1::ReadyStep() const { return Check2.value() == 1 ? kStepLeadIn : kStepTimeIs; }

std::string Form1::ClipExtension() const { return OptionWAV.value() ? ".wav" : ".mp3"; }

std::optional<std::string_view> Form1::LeadInClip() const {
  std::optional<std::string_view> clip;
  if (Option5.value()) clip = clips::kBell1;
  if (Option6.value()) clip = clips::kBell2;
  if (Option9.value()) clip = GreetingClip(SpokenTime().hour);
  return clip;
}

bool Form1::LoadClip(std::optional<std::string_view> stem, bool key, std::optional<int> successor) {
  // 1. The path; without a lead-in choice the path stays what it was.
  if (stem) ClipPath = FileLocation.text() + std::string(*stem) + ClipExtension();
  // 2. The lead-in and time-is clips key the transmitter.
  if (key) {
    ShowPtt(PTT, true);
    if (const Status keyed = echolink_->Transmit(true); !keyed) return Fail(keyed.message);
  }
  // 3.-4. A fresh graph in place of the old one.
  CleanUp();
  Result<std::shared_ptr<MediaGraph>> created = services_.media.CreateGraph();
  if (!created) return Fail(created.message());
  std::shared_ptr<MediaGraph> graph = std::move(*created);
  ClipGraph = graph;
  ClipAudio = graph;
  ClipPosition = graph;
  // 5. Render.
  if (const Status rendered = ClipGraph->RenderFile(ClipPath); !rendered) {
    return Fail(rendered.message);
  }
  // 6. The position bar's range; it holds whole seconds in a 16-bit value.
  const std::optional<double> duration = ClipPosition->Duration();
  if (!duration) return Fail("the length of " + ClipPath + " cannot be read");
  const double bar_max = std::nearbyint(*duration);
  if (bar_max > kLargestBarValue) return Fail(ClipPath + " is longer than 32767 seconds");
  H1.set_max(static_cast<int>(bar_max));
  // 7. The duration text, in the same form as the position text.
  Text3.set_text(SecondsText(*duration));
  // 8. The end-of-clip test moves the chain on.
  if (successor && ClipHasEnded()) NextStep = *successor;
  return true;
}

bool Form1::Fail(const std::string& reason) {
  load_status_ = Status::Error(reason.empty() ? "unknown failure" : reason);
  return false;
}

void Form1::LoadFile() {
  load_status_ = Status::Ok();
  if (!ComposeStep()) RecoverFromLoadFailure();
}

bool Form1::ComposeStep() {
  if (LoadStep == kStepTail) return LoadTailClip();
  const std::string ext = ClipExtension();
  if (Check1.value() == 0) {
    // Plain order.
    if (Check2.value() == 0 && LoadStep == kStepLeadIn) {
      LoadStep = kStepTimeIs;
      NextStep = kStepTimeIs;
    } else {
      Announcing = 1;
      const std::optional<std::string_view> lead_in =
          Check2.value() == 0 ? std::optional<std::string_view>(clips::kBlank) : LeadInClip();
      if (!LoadClip(lead_in, true, kStepTimeIs)) return false;
    }
    if (LoadStep == kStepTimeIs) {
      Announcing = 1;
      if (!LoadClip(clips::kTheTimeIs, true, kStepHour)) return false;
    }
    if (LoadStep == kStepHour && !LoadClip(HH.text(), false, kStepMinute)) return false;
    if (LoadStep == kStepMinute && !LoadClip(MM.text(), false, kStepSuffix)) return false;
    if (LoadStep == kStepSuffix) return LoadSuffix();
    return true;
  }
  // Worded order.
  if (LoadStep == kStepLeadIn) {
    Announcing = 1;
    if (!LoadClip(LeadInClip(), true, kStepTimeIs)) return false;
  }
  if (LoadStep == kStepTimeIs) {
    Announcing = 1;
    if (!LoadClip(clips::kTheTimeIs, true, kStepHour)) return false;
  }
  if (LoadStep == kStepHour && !LoadClip(HH.text(), false, kStepHourWord)) return false;
  if (LoadStep == kStepHourWord && !LoadClip(clips::kHour, false, kStepMinute)) return false;
  if (LoadStep == kStepMinute && !LoadClip(MM.text(), false, kStepMinuteWord)) return false;
  if (LoadStep == kStepMinuteWord && !LoadClip(clips::kMinutes, false, kStepSuffix)) return false;
  if (LoadStep == kStepSuffix) return LoadSuffix();
  return true;
}

bool Form1::LoadSuffix() {
  // With clips to follow, the chain goes on after the suffix as after any other step.
  const bool tail = tail_next_ < tail_.size();
  if (!tail) Timer2.set_running(false);
  const std::string stem = AMPM.value() == 0 ? std::string(clips::kBlank) : AM_PM.text();
  if (tail) return LoadClip(stem, false, kStepTail);
  if (!LoadClip(stem, false, std::nullopt)) return false;
  const int ready = ReadyStep();
  if (ClipHasEnded()) {
    ContinuePastFailure(ClipGraph->Stop());
    LoadStep = ready;
    NextStep = ready;
  }
  LoadStep = ready;
  NextStep = ready;
  Announcing = 0;
  return true;
}

bool Form1::LoadTailClip() {
  const TailClip clip = tail_[tail_next_++];
  const bool last = tail_next_ >= tail_.size();
  if (last) Timer2.set_running(false);
  if (!LoadClip(clip.stem, false, std::nullopt)) {
    // The time has been spoken; a missing message or identification clip ends the
    // announcement here, without the recovery's change of voice.
    Log("clip failed: " + ClipPath + ": " + load_status_.message);
    EndAnnouncement();
    return true;
  }
  if (clip.identification) last_identification_ms_ = services_.timers.NowMs();
  if (last) {
    LoadStep = ReadyStep();
    NextStep = ReadyStep();
    Announcing = 0;
  }
  return true;
}

void Form1::AbandonAnnouncement(const std::string& reason) {
  Dispatch([&] {
    // Said only when something was on the way; ending an idle clock is not news.
    if (Announcing != 0 || Timer2.running() || PTT.caption() == texts::kPttOn) {
      Log("announcement abandoned: " + reason);
    }
    EndAnnouncement();
  });
}

void Form1::Log(const std::string& line) {
  if (log) log(line);
}

void Form1::RecoverFromLoadFailure() {
  Log("clip failed: " + ClipPath + ": " + load_status_.message);
  Option3.set_value(true);
  FileLocation.set_text(std::string(texts::kRecoveryFolder));
  OptionWAV.set_value(true);
  ShowPtt(PTT, false);
  // The announcement cannot go on: end it and release the transmitter before the message,
  // so that nothing stays keyed while the message waits for the operator.
  EndAnnouncement();
  const std::string text = std::string(texts::kRenderErrorLine1) + "\r\n" + "\r\n" +
                           std::string(texts::kRenderErrorLine3) + "\r\n" +
                           std::string(texts::kRenderErrorLine4) +
                           std::string(texts::kVoiceSiteAddress);
  ShowMessage(
      {text, std::string(texts::kRenderErrorTitle), MsgIcon::kExclamation, MsgButtons::kOk});
  CleanUp();
}

void Form1::EndAnnouncement() {
  Timer2.set_running(false);
  LoadStep = ReadyStep();
  NextStep = ReadyStep();
  Announcing = 0;
  lone_play_ = false;
  clip_deadline_ms.reset();
  // A clip that stopped short is silenced and let go; the progress texts agree again, as
  // after every announcement, so that the unkey check goes on releasing the transmitter
  // every second.
  CleanUp();
  Text2.set_text(Text3.text());
  ReleaseTransmitter();
}

}  // namespace horatone
